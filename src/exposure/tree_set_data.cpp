#include "exposure/tree_set_data.hpp"

#include <algorithm>

#include "exposure/index_memory.hpp"
#include "tree/fatal_error.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

namespace {

// The reason in double quotes, with any quote or backslash inside escaped.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

}  // namespace

TreeSetData index_tree_collection(TreeCollection collection) {
    const std::size_t taxon_count = collection.taxon_set.size();
    // The sizes of the indexes fix the block that holds them all and, with the scratch of the
    // largest build, whether they fit in memory at all.
    std::vector<std::size_t> index_bytes;
    index_bytes.reserve(collection.trees.size());
    std::size_t total_bytes = 0;
    std::size_t scratch_bytes = 0;
    for (const Tree& tree : collection.trees) {
        index_bytes.push_back(lca_index_bytes(tree, taxon_count));
        total_bytes = saturating_add(total_bytes, index_bytes.back());
        scratch_bytes = std::max(scratch_bytes, lca_build_scratch_bytes(tree));
    }
    ensure_fits_in_available_memory(saturating_add(total_bytes, scratch_bytes));

    TreeSetData data{std::move(collection.taxon_set), IndexArena(total_bytes), {}};
    data.lcas.reserve(collection.trees.size());
    TreeLca::BuildScratch scratch;
    for (std::size_t k = 0; k < collection.trees.size(); ++k) {
        // Nothing reads a tree once it is indexed, so its arrays go at once.
        const Tree tree = std::move(collection.trees[k]);
        data.lcas.push_back(
            TreeLca::build_in(tree, taxon_count, data.index_block.take(index_bytes[k]), scratch));
    }
    collection.trees = {};
    return_freed_memory_to_system();
    return data;
}

TreeSetData load_tree_set_data(const std::string& path) {
    LoadResult loaded = load_tree_collection(path);
    if (auto* error = std::get_if<LoadError>(&loaded)) {
        fail("Failed to load tree collection: " + quoted(error->message));
    }
    return index_tree_collection(std::move(std::get<TreeCollection>(loaded)));
}

}  // namespace treetally
