// Which trees of a set hold which taxa, as one bit per tree and taxon, so that the trees
// holding several taxa at once are counted by AND-ing their words. A taxon is held by a tree
// when the tree's index gives it a non-zero position: exactly the trees the sweeps examine (a
// taxon at the root of a one-node tree sits at position 0 and counts as absent there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "sets/tree_set_data.hpp"
#include "tree/ids.hpp"

namespace treetally {

class Presence {
  public:
    // The bits of each of `taxa` (repeats allowed; each gets its own row) over every tree of
    // `data`. Raises std::bad_alloc, before allocating, when the rows would take more than
    // `memory_budget` bytes; an id beyond the set's taxa is the out-of-bounds fatal error.
    static Presence of(const TreeSetData& data, std::span<const TaxonId> taxa,
                       std::size_t memory_budget, const InterruptCheck& interrupt = {});

    // Bytes of the rows for `taxon_count` taxa over `tree_count` trees; saturates.
    static std::size_t bytes_for(std::size_t taxon_count, std::size_t tree_count);

    std::size_t tree_count() const { return tree_count_; }
    std::size_t word_count() const { return word_count_; }  // ceil(tree_count / 64)
    // Row k (k indexes the `taxa` given to `of`): bit t % 64 of word t / 64 is set when tree t
    // holds the taxon. Bits past the last tree are clear.
    std::span<const std::uint64_t> bits(std::size_t k) const;
    std::uint64_t trees_holding(std::size_t k) const;
    // Trees holding every taxon of rows `ks`; every tree when `ks` is empty.
    std::uint64_t trees_holding_all(std::span<const std::size_t> ks) const;

  private:
    std::size_t tree_count_ = 0;
    std::size_t word_count_ = 0;
    std::size_t row_count_ = 0;
    std::vector<std::uint64_t> words_;  // row-major: row k starts at k * word_count_
};

// How many trees hold each taxon of the set, index = TaxonId; no bit rows are kept.
std::vector<std::uint64_t> trees_per_taxon(const TreeSetData& data,
                                           const InterruptCheck& interrupt = {});

}  // namespace treetally
