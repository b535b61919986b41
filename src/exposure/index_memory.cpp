#include "exposure/index_memory.hpp"

#include <new>

#include "lca/tree_lca.hpp"
#include "tree/available_memory.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace treetally {

std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count) {
    return TreeLca::bytes_for(tree, taxon_count);
}

std::size_t collection_index_bytes(const TreeCollection& collection) {
    const std::size_t taxon_count = collection.taxon_set.size();
    std::size_t bytes = 0;
    for (const Tree& tree : collection.trees)
        bytes = saturating_add(bytes, lca_index_bytes(tree, taxon_count));
    return bytes;
}

std::size_t lca_build_scratch_bytes(const Tree& tree) {
    return TreeLca::BuildScratch::bytes_for(tree);
}

void ensure_fits_in_available_memory(std::size_t bytes) {
    const auto available = available_memory_bytes();
    if (available && bytes > *available) throw std::bad_alloc();
}

void return_freed_memory_to_system() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace treetally
