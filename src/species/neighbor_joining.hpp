// Neighbor joining (Saitou and Nei 1987) with Studier and Keppler's criterion
// Q(i, j) = (m - 2) d(i, j) - R(i) - R(j): recovers any tree from its tree metric. Ties in Q go
// to the pair met first (lowest i, then lowest j); joining only halves and adds distances, so
// whole-number distances keep the choice of each pair free of rounding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"

namespace treetally {

// An unrooted tree as joining builds it: node k < n is taxon k, joined nodes follow in the
// order they were made, and the last node is the centre of the final three. parent[k] is -1
// for the centre; length[k] is the length of the edge above node k.
struct JoinedTree {
    std::vector<std::int64_t> parent;
    std::vector<double> length;
};

// The tree of the symmetric n x n `distance` (row by row), n at least 3 (else a fatal error).
JoinedTree neighbor_joining(std::span<const double> distance, std::size_t n,
                            const InterruptCheck& interrupt = {});

}  // namespace treetally
