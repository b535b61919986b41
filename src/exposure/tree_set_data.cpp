#include "exposure/tree_set_data.hpp"

#include "exposure/index_memory.hpp"
#include "tree/fatal_error.hpp"
#include "tree/messages.hpp"

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

void fail_to_load(const LoadError& error) {
    fail(messages::failed_to_load_prefix + quoted(error.message));
}

TreeSetData index_tree_collection(TreeCollection collection, const InterruptCheck& interrupt) {
    ensure_index_fits_in_memory(collection);
    TreeSetData data{std::move(collection), {}};
    const std::size_t taxon_count = data.collection.taxon_set.size();
    data.lcas.reserve(data.collection.trees.size());
    // Work counted as the entries an index writes (its tour and table grow with the nodes, its
    // per-taxon table with the taxa) plus its allocations; asked well under every millisecond.
    InterruptPacer pacer(interrupt, std::size_t{1} << 16);
    constexpr std::size_t work_per_tree = 64;
    constexpr std::size_t work_per_node = 8;
    for (const Tree& tree : data.collection.trees) {
        data.lcas.push_back(TreeLca::build(tree, taxon_count));
        pacer.count(work_per_tree + work_per_node * tree.node_count() + taxon_count);
    }
    return data;
}

TreeSetData load_tree_set_data(const std::string& path, const InterruptCheck& interrupt) {
    LoadResult loaded = load_tree_collection(path, interrupt);
    if (auto* error = std::get_if<LoadError>(&loaded)) fail_to_load(*error);
    return index_tree_collection(std::move(std::get<TreeCollection>(loaded)), interrupt);
}

}  // namespace treetally
