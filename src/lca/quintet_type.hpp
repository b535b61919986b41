// Which of the fifteen unrooted quintet topologies one tree shows on five taxa.
// Found by two deepest-pair passes, then looked up from the two canonical split masks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "lca/pair_distances.hpp"
#include "lca/tree_lca.hpp"

namespace treetally {

inline constexpr std::size_t quintet_type_count = 15;

// All five positions must be present (non-zero) in `lca`'s tree.
std::optional<std::uint8_t> quintet_type(const TreeLca& lca, const FivePositions& positions);

// quintet_type that, when it finds a type, also sets `distances` to the ten path lengths of
// the same taxa (as pairwise_distances gives them), from the LCAs the classification found.
std::optional<std::uint8_t> quintet_type_with_distances(const TreeLca& lca,
                                                        const FivePositions& positions,
                                                        PairDistances& distances);

// The code of two canonical 5-bit split masks, in either order; raises the fatal error
// "Invalid bipartitions" for a pair that is no quintet topology.
std::uint8_t quintet_type_of_splits(std::uint8_t mask_a, std::uint8_t mask_b);

}  // namespace treetally
