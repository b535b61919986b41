// One pass over every tree of a set for four or five given taxa: the topology counts together
// with the number of trees holding all the taxa, and for five taxa the path lengths summed
// per topology, from which the time table follows. The set's own sweeps are built on these,
// so the two never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "lca/pair_distances.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "tree/ids.hpp"

namespace treetally {

struct LabelledTally {
    std::vector<std::uint64_t> counts;  // index = topology code: 3 for quartets, 15 for quintets
    std::uint64_t holding = 0;          // trees holding every taxon, resolved or not

    friend bool operator==(const LabelledTally&, const LabelledTally&) = default;
};

// The topology counts of `ids` (four or five, repeats allowed, in slot order) over every tree,
// and how many trees hold them all. Another number of ids is a fatal error, and so is an id
// beyond the set's taxa.
LabelledTally labelled_tally(const TreeSetData& data, std::span<const TaxonId> ids,
                             const InterruptCheck& interrupt = {});

// Pair p's path lengths summed over the trees of quintet type t, at 10 * t + p.
inline constexpr std::size_t path_sum_count = quintet_type_count * pair_count_of_five;
using PathSums = std::array<double, path_sum_count>;

struct TopologyPathSums {
    QuartetTally quartet_counts{};  // of the first four taxa
    std::uint64_t quartet_holding = 0;
    QuintetTally quintet_counts{};  // of all five
    std::uint64_t quintet_holding = 0;
    PathSums pair_length_sums{};  // added in tree order, each from 0.0
};

// The quartet tally of the first four ids, the quintet tally of all five and the quintet
// types' summed path lengths, in one pass.
TopologyPathSums topology_path_sums(const TreeSetData& data, const std::array<TaxonId, 5>& ids,
                                    const InterruptCheck& interrupt = {});

// topology_path_sums without the quartet half, whose fields stay zero: what the time table
// needs, without the quartet lookups.
TopologyPathSums quintet_path_sums(const TreeSetData& data, const std::array<TaxonId, 5>& ids,
                                   const InterruptCheck& interrupt = {});

// The time table of quintet counts and summed path lengths: each count as a share of their
// sum, and each type's ten sums divided by their total when it is positive (else left as
// they are), every sum taken in index order from 0.0.
TimeTable normalised_time_table(const QuintetTally& counts, const PathSums& sums);

}  // namespace treetally
