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

// pairwise_distances when the ten pair LCAs are already known (from quintet_type_with_pair_lcas
// on the same positions, all of them in range): the same values, without repeating the lookups.
PairDistances pairwise_distances_of_known_lcas(const TreeLca& lca, const FivePositions& positions,
                                               const PairLcaPositions& pair_lcas);

}  // namespace treetally
