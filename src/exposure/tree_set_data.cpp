#include "exposure/tree_set_data.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <system_error>

#include "exposure/tree_set_builder.hpp"
#include "tree/available_memory.hpp"
#include "tree/fatal_error.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

namespace {

// The reason in double quotes, with any quote or backslash inside escaped.
std::string quoted_reason(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// What a load may take: the memory available when it begins.
std::size_t memory_budget() {
    return available_memory_bytes().value_or(std::numeric_limits<std::size_t>::max());
}

// The size of the file at `path`, or 0 when it is not known.
std::size_t file_bytes(const std::string& path) {
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(path, error);
    if (error) return 0;
    return static_cast<std::size_t>(
        std::min<std::uintmax_t>(bytes, std::numeric_limits<std::size_t>::max()));
}

}  // namespace

TreeSetData index_tree_collection(TreeCollection collection) {
    TreeSetBuilder builder(memory_budget(), 0);
    for (Tree& tree : collection.trees) {
        // Nothing reads a tree once it is indexed, so its arrays go at once.
        const Tree indexed = std::move(tree);
        builder.add(indexed);
    }
    return std::move(builder).finish(std::move(collection.taxon_set));
}

TreeSetData load_tree_set_data(const std::string& path) {
    const std::size_t budget = memory_budget();
    TaxonSet taxa;
    TreeSetBuilder builder(budget, file_bytes(path));
    const TreeSink index_at_once = [&builder](Tree&& tree) { return builder.add(tree); };
    if (const auto error = read_tree_file(path, taxa, index_at_once, budget)) {
        fail("Failed to load tree collection: " + quoted_reason(error->message));
    }
    return std::move(builder).finish(std::move(taxa));
}

}  // namespace treetally
