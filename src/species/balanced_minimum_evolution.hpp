// Balanced minimum evolution (Desper and Gascuel 2002, 2005): the unrooted binary tree whose
// balanced length L = sum over taxa i < j of 2^(1 - p(i, j)) d(i, j), p(i, j) the number of
// edges between them (Pauplin's formula), is least, as far as three searches find it: taxa are
// inserted one by one, in their order, each on the edge that leaves L least; then the NNI that
// shortens L most is made until none shortens it; then likewise the SPR. Edge lengths are the
// balanced least-squares ones. On a tree metric the tree and its lengths come back exactly.
//
// Ties: each search makes the move that shortens L most; a move is made only when it shortens L
// by more than 1e-12 of |L|, so that no search loops on rounding, and equal gains go to the move
// met first (subtrees in the order of their nodes, which follows the taxa's order). Nothing
// depends on threads: the same distances give the same tree, to the bit.
#pragma once

#include <cstddef>
#include <span>

#include "base/interrupt_check.hpp"
#include "species/neighbor_joining.hpp"

namespace treetally {

// The tree of the symmetric n x n `distance` (row by row), n at least 3 (else a fatal error),
// in the form neighbor joining gives: node k < n is taxon k, every internal node's id exceeds
// its children's, and the last node, the centre, is the internal node next to taxon 0. Children
// follow the least taxon below them, so that one tree is always written one way.
JoinedTree balanced_minimum_evolution(std::span<const double> distance, std::size_t n,
                                      const InterruptCheck& interrupt = {});

// Bytes the search holds for n taxa, about 160 n^2 (saturating): the averages of every pair of
// directed subtrees, 4n - 6 of them, and of each against every taxon.
std::size_t balanced_minimum_evolution_bytes(std::size_t n);

// The balanced length of `tree` (as above, or as neighbor joining builds it; every internal node
// of degree 3) under `distance`, by Pauplin's formula.
double balanced_length(const JoinedTree& tree, std::span<const double> distance, std::size_t n);

}  // namespace treetally
