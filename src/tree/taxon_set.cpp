#include "tree/taxon_set.hpp"

#include <bit>
#include <cstring>

#include "tree/fatal_error.hpp"
#include "tree/messages.hpp"

namespace treetally {

namespace {

constexpr std::size_t initial_slot_count = 64;

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return x;
}

// A hash of the name's bytes, eight at a time with one multiply each, then one final mix:
// labels are short, and the full comparison behind every hit keeps lookups exact.
std::uint64_t name_hash(std::string_view name) {
    constexpr std::uint64_t multiplier = 0x9e3779b97f4a7c15ULL;
    const char* bytes = name.data();
    const std::size_t size = name.size();
    std::uint64_t hash = size * multiplier;
    std::size_t k = 0;
    for (; k + 8 <= size; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + k, 8);
        hash = std::rotl((hash ^ word) * multiplier, 27);
    }
    if (k < size) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + k, size - k);
        hash = std::rotl((hash ^ word) * multiplier, 27);
    }
    return mix(hash);
}

std::uint32_t tag_of(std::uint64_t hash) {
    return static_cast<std::uint32_t>(hash >> 32);
}

std::size_t string_heap_bytes(const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

}  // namespace

std::size_t TaxonSet::slot_of(std::string_view name, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t k = hash & mask;; k = (k + 1) & mask) {
        const Slot& slot = slots_[k];
        if (slot.id_plus_one == 0) return k;
        if (slot.hash_tag == tag && taxon_names_[slot.id_plus_one - 1] == name) return k;
    }
}

void TaxonSet::grow_table() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? initial_slot_count : 2 * old.size(), Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.id_plus_one == 0) continue;
        const std::uint64_t hash = name_hash(taxon_names_[slot.id_plus_one - 1]);
        std::size_t k = hash & mask;
        while (slots_[k].id_plus_one != 0) k = (k + 1) & mask;
        slots_[k] = slot;
    }
}

TaxonId TaxonSet::insert_or_get(std::string_view name) {
    if (slots_.empty()) grow_table();
    const std::uint64_t hash = name_hash(name);
    std::size_t k = slot_of(name, hash);
    if (slots_[k].id_plus_one != 0) return TaxonId{slots_[k].id_plus_one - 1};
    if (size() >= max_id_count) fail(messages::too_many_taxa);
    const TaxonId id{static_cast<std::uint32_t>(size())};
    taxon_names_.emplace_back(name);
    if (2 * size() > slots_.size()) {
        grow_table();
        k = slot_of(name, hash);
    }
    slots_[k] = Slot{tag_of(hash), id.value + 1};
    return id;
}

TaxonId TaxonSet::id_of(std::string_view name) const {
    if (slots_.empty()) fail(messages::taxon_not_found);
    const Slot& slot = slots_[slot_of(name, name_hash(name))];
    if (slot.id_plus_one == 0) fail(messages::taxon_not_found);
    return TaxonId{slot.id_plus_one - 1};
}

std::size_t TaxonSet::heap_bytes() const {
    std::size_t bytes = taxon_names_.capacity() * sizeof(std::string);
    for (const std::string& name : taxon_names_) bytes += string_heap_bytes(name);
    return bytes + slots_.capacity() * sizeof(Slot);
}

}  // namespace treetally
