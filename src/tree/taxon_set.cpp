#include "tree/taxon_set.hpp"

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "base/siphash.hpp"

namespace treetally {

namespace {

constexpr std::size_t initial_slot_count = 64;

std::size_t string_heap_bytes(const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

}  // namespace

// SipHash-1-3 under the process's random key: crafted names cannot pile into one run of the
// linear probing, which would make each new name scan all earlier ones. 32 bits suffice: the
// table never has more slots (at most 2^31 names, at most half full).
std::uint32_t TaxonSet::hash_of(std::string_view name) const {
    return static_cast<std::uint32_t>(siphash13(name, hash_key_) >> 32);
}

std::size_t TaxonSet::slot_of(std::string_view name, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t k = hash & mask;; k = (k + 1) & mask) {
        const Slot& slot = slots_[k];
        if (slot.id_plus_one == 0) return k;
        if (slot.hash == hash && taxon_names_[slot.id_plus_one - 1] == name) return k;
    }
}

void TaxonSet::grow_table() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? initial_slot_count : 2 * old.size(), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.id_plus_one == 0) continue;
        std::size_t k = slot.hash & mask;
        while (slots_[k].id_plus_one != 0) k = (k + 1) & mask;
        slots_[k] = slot;
    }
}

TaxonId TaxonSet::insert_or_get(std::string_view name) {
    if (slots_.empty()) grow_table();
    const std::uint32_t hash = hash_of(name);
    std::size_t k = slot_of(name, hash);
    if (slots_[k].id_plus_one != 0) return TaxonId{slots_[k].id_plus_one - 1};
    if (size() >= max_id_count) fail(ErrorKind::too_large, messages::too_many_taxa);
    const TaxonId id{static_cast<std::uint32_t>(size())};
    taxon_names_.emplace_back(name);
    if (2 * size() > slots_.size()) {
        grow_table();
        k = slot_of(name, hash);
    }
    slots_[k] = Slot{hash, id.value + 1};
    return id;
}

TaxonId TaxonSet::id_of(std::string_view name) const {
    if (slots_.empty()) fail(ErrorKind::unknown_taxon, messages::taxon_not_found);
    const Slot& slot = slots_[slot_of(name, hash_of(name))];
    if (slot.id_plus_one == 0) fail(ErrorKind::unknown_taxon, messages::taxon_not_found);
    return TaxonId{slot.id_plus_one - 1};
}

std::size_t TaxonSet::heap_bytes() const {
    std::size_t bytes = taxon_names_.capacity() * sizeof(std::string);
    for (const std::string& name : taxon_names_) bytes += string_heap_bytes(name);
    return bytes + slots_.capacity() * sizeof(Slot);
}

}  // namespace treetally
