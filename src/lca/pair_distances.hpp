// Path lengths between taxa of one tree: the sum of branch lengths joining two leaves.
// The five-taxon form gives the ten pairs (i, j), i < j, in row-major order.
#pragma once

#include <array>
#include <span>

#include "lca/tree_lca.hpp"

namespace treetally {

inline constexpr std::size_t pair_count_of_five = 10;
using FivePositions = std::array<EulerPos, 5>;
using PairDistances = std::array<double, pair_count_of_five>;
// The LCA positions of the ten pairs of five positions, in the same pair order.
using PairLcaPositions = std::array<EulerPos, pair_count_of_five>;

// (distance(a) + distance(b)) - 2 * distance(lca(a, b)); callers check for absent taxa.
double path_distance(const TreeLca& lca, EulerPos a, EulerPos b);

// The ten path distances among five positions, pairs (0,1), (0,2), ... (3,4).
PairDistances pairwise_distances(const TreeLca& lca, const FivePositions& positions);

// The distances from the root of five positions, read through `reads`, the index or its
// TreeLca::ByteReads.
template <typename Reads>
std::array<double, 5> root_distances_of(const Reads& reads, const FivePositions& positions) {
    std::array<double, 5> distances;
    for (std::size_t i = 0; i < positions.size(); ++i)
        distances[i] = reads.distance_at_in_range(positions[i]);
    return distances;
}

// pairwise_distances when the positions' root distances and visits of the ten pair LCAs are
// already known (all in range): the same values, without repeating the lookups.
template <typename Reads>
PairDistances pairwise_distances_of_known_lcas(const Reads& reads,
                                               const std::array<double, 5>& leaf_distances,
                                               const PairLcaPositions& pair_lcas) {
    // Every distance is read once, before any result is stored: the index's bytes may alias
    // the results as far as the compiler knows, so reads between stores would be repeated.
    std::array<double, pair_count_of_five> ancestor;
    for (std::size_t pair = 0; pair < pair_lcas.size(); ++pair)
        ancestor[pair] = reads.distance_at_in_range(pair_lcas[pair]);
    PairDistances distances;
    std::size_t pair = 0;
    for (std::size_t i = 0; i < leaf_distances.size(); ++i) {
        for (std::size_t j = i + 1; j < leaf_distances.size(); ++j, ++pair) {
            // Same grouping as path_distance: the endpoints first, then twice the ancestor.
            distances[pair] = (leaf_distances[i] + leaf_distances[j]) - 2.0 * ancestor[pair];
        }
    }
    return distances;
}

}  // namespace treetally
