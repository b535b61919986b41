#include "exposure/tree_set_data.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "tree/fatal_error.hpp"
#include "tree/messages.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

namespace {

std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                           : a + b;
}

// Raises std::bad_alloc when indexing the collection could take more than the available
// memory. Needed because the per-tree taxon table grows as taxa x trees: a small file of many
// short lines with distinct names asks for more than any machine has, one small block at a
// time, and the kernel would kill the process instead of failing an allocation.
void ensure_index_fits_in_memory(const TreeCollection& collection, const LoadContext& context) {
    const auto available = context.available_memory();
    if (available && indexing_peak_bytes(collection) > *available) throw std::bad_alloc();
}

}  // namespace

void fail_to_load(const LoadError& error) {
    fail(messages::failed_to_load(error.message));
}

std::size_t collection_index_bytes(const TreeCollection& collection) {
    const std::size_t taxon_count = collection.taxon_set.size();
    std::size_t bytes = 0;
    for (const Tree& tree : collection.trees)
        bytes = saturating_add(bytes, TreeLca::bytes_for(tree, taxon_count) + sizeof(TreeLca));
    return bytes;
}

std::size_t indexing_peak_bytes(const TreeCollection& collection) {
    std::size_t scratch = 0;
    for (const Tree& tree : collection.trees)
        scratch = std::max(scratch, TreeLca::build_scratch_bytes(tree));
    return saturating_add(collection_index_bytes(collection), scratch);
}

TreeSetData index_tree_collection(TreeCollection collection, const LoadContext& context) {
    ensure_index_fits_in_memory(collection, context);
    TreeSetData data{std::move(collection), {}};
    const std::size_t taxon_count = data.collection.taxon_set.size();
    data.lcas.reserve(data.collection.trees.size());
    // Work counted as the entries an index writes (its tour and table grow with the nodes, its
    // per-taxon table with the taxa) plus its allocations; asked well under every millisecond.
    InterruptPacer pacer(context.interrupt, std::size_t{1} << 16);
    constexpr std::size_t work_per_tree = 64;
    constexpr std::size_t work_per_node = 8;
    for (const Tree& tree : data.collection.trees) {
        data.lcas.push_back(TreeLca::build(tree, taxon_count));
        pacer.count(work_per_tree + work_per_node * tree.node_count() + taxon_count);
    }
    return data;
}

TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context) {
    LoadResult loaded = load_tree_collection(path, context);
    if (auto* error = std::get_if<LoadError>(&loaded)) fail_to_load(*error);
    return index_tree_collection(std::move(std::get<TreeCollection>(loaded)), context);
}

}  // namespace treetally
