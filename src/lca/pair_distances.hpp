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

// (distance(a) + distance(b)) - 2 * distance(lca(a, b)); callers check for absent taxa.
double path_distance(const TreeLca& lca, EulerPos a, EulerPos b);

// The ten path distances among five positions, pairs (0,1), (0,2), ... (3,4).
PairDistances pairwise_distances(const TreeLca& lca, const FivePositions& positions);

}  // namespace treetally
