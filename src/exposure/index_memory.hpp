// What indexing a collection will cost in memory, and what the machine can still give.
// Lets the loader refuse, with an ordinary out-of-memory error, an index that cannot fit.
#pragma once

#include <cstddef>

#include "tree/tree_collection.hpp"

namespace treetally {

// Bytes of the arrays of one tree's LCA index: the per-taxon table, the Euler tour (node,
// depth, distance per entry) and the range-minimum table. Saturates instead of wrapping.
std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count);

// The same summed over every tree of the collection, each covering all of its taxa.
std::size_t collection_index_bytes(const TreeCollection& collection);

// Scratch that building one tree's index holds beside it for a moment: level-major rows as
// large as the range-minimum table, and two rows of depths.
std::size_t lca_build_scratch_bytes(const Tree& tree);

// Raises std::bad_alloc when the collection's indexes, and the scratch for building the
// largest of them, cannot fit in the available memory.
// Needed because the per-tree taxon table grows as taxa x trees: a small file of many short
// lines with distinct names asks for more than any machine has, one small block at a time,
// and the kernel would kill the process instead of failing an allocation.
void ensure_index_fits_in_memory(const TreeCollection& collection);

}  // namespace treetally
