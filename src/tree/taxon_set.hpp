// The map between taxon names and dense TaxonIds shared by all trees of one file.
// Names are compared byte for byte; ids are handed out in order of first appearance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/process_hash_key.hpp"
#include "tree/ids.hpp"

namespace treetally {

class TaxonSet {
  public:
    // Returns the id of `name`, adding it with the next free id when it is new.
    TaxonId insert_or_get(std::string_view name);

    // Returns the id of `name`; raises the fatal error "Taxon not found" when it is absent.
    TaxonId id_of(std::string_view name) const;

    std::size_t size() const { return taxon_names_.size(); }
    const std::vector<std::string>& taxon_names() const { return taxon_names_; }

    // Bytes held by the names and the lookup table, for memory accounting.
    std::size_t heap_bytes() const;

    // The most that adding `count` new names of `total_size` bytes in all can make the set
    // hold, at the moment its list or its table grows and both copies exist: for budgets.
    static constexpr std::size_t bytes_for_new_names(std::size_t count, std::size_t total_size) {
        constexpr std::size_t list_entries = 3;        // the list doubles: old and new entries
        constexpr std::size_t table_slots = 6;         // at most half full, doubling: old and new
        constexpr std::size_t text_overhead = 1 + 16;  // terminator, allocator bookkeeping
        return count * (list_entries * sizeof(std::string) + table_slots * sizeof(Slot) +
                        text_overhead) +
               total_size;
    }

  private:
    // One slot of the open-addressing lookup table: the name's hash, whose low bits pick its
    // home slot (so the table grows without hashing a name again) and whose other bits skip
    // most unequal names without reading them; and the id plus one (0 = empty slot).
    struct Slot {
        std::uint32_t hash = 0;
        std::uint32_t id_plus_one = 0;
    };

    // The keyed hash of a name: no file can choose names that collide in the table.
    std::uint32_t hash_of(std::string_view name) const;
    // The slot that holds `name`, or the empty slot where it would go.
    std::size_t slot_of(std::string_view name, std::uint32_t hash) const;
    void grow_table();

    // A copy of the process's key, so a lookup does not ask for it again.
    HashKey hash_key_ = process_hash_key();

    // The names themselves are kept once, here; the table refers to them by id, so a lookup
    // of a known name allocates nothing.
    std::vector<std::string> taxon_names_;
    std::vector<Slot> slots_;  // size a power of two, at most half full
};

}  // namespace treetally
