// What indexing a collection will cost in memory, and what the machine can still give.
// Lets the loader refuse, with an ordinary out-of-memory error, an index that cannot fit.
#pragma once

#include <cstddef>
#include <limits>

#include "tree/tree_collection.hpp"

namespace treetally {

inline std::size_t saturating_add(std::size_t a, std::size_t b) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
    return a > most - b ? most : a + b;
}

// Bytes of the block of one tree's LCA index (TreeLca::bytes_for).
std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count);

// The same summed over every tree of the collection, each covering all of its taxa.
std::size_t collection_index_bytes(const TreeCollection& collection);

// Scratch that building one tree's index holds beside it for a moment: rows of the tour and
// of the range-minimum levels, and the walk's stack.
std::size_t lca_build_scratch_bytes(const Tree& tree);

// Raises std::bad_alloc when `bytes` cannot fit in the available memory.
// Needed because the per-tree taxon table grows as taxa x trees: a small file of many short
// lines with distinct names asks for more than any machine has, one small block at a time,
// and the kernel would kill the process instead of failing an allocation.
void ensure_fits_in_available_memory(std::size_t bytes);

// Hands the allocator's free memory back to the system where the allocator allows it (glibc),
// so that the trees' arrays, freed once they are indexed, stop counting as resident.
void return_freed_memory_to_system();

}  // namespace treetally
