// What indexing a collection will cost in memory, so that a load can refuse, with an ordinary
// out-of-memory error, indexes that cannot fit.
#pragma once

#include <cstddef>
#include <limits>

#include "tree/tree_collection.hpp"

namespace treetally {

inline std::size_t saturating_add(std::size_t a, std::size_t b) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
    return a > most - b ? most : a + b;
}

// Bytes of one tree's LCA index (TreeLca::bytes_for), and of its block without the per-taxon
// table (TreeLca::block_bytes_for).
std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count);
std::size_t lca_index_block_bytes(const Tree& tree);

// The same summed over every tree of the collection, each covering all of its taxa.
std::size_t collection_index_bytes(const TreeCollection& collection);

// Scratch that building one tree's index holds beside it for a moment: rows of the tour and
// of the range-minimum levels, and the walk's stack.
std::size_t lca_build_scratch_bytes(const Tree& tree);

}  // namespace treetally
