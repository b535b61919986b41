#include "exposure/index_memory.hpp"

#include "lca/tree_lca.hpp"

namespace treetally {

std::size_t lca_index_bytes(const Tree& tree, std::size_t taxon_count) {
    return TreeLca::bytes_for(tree, taxon_count);
}

std::size_t lca_index_block_bytes(const Tree& tree) {
    return TreeLca::block_bytes_for(tree);
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

}  // namespace treetally
