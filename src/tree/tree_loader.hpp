// Loads a file of Newick trees, one per line, into a TreeCollection.
// The only failures it returns as values are an unopenable file and an unreadable or non-UTF-8
// line.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "tree/tree_collection.hpp"

namespace treetally {

// Why a load failed: the fixed message "Could not read file" or "Error reading file".
struct LoadError {
    std::string message;
};

using LoadResult = std::variant<TreeCollection, LoadError>;

// Streams the file line by line; a fatal error of the reader passes straight through.
// Raises std::bad_alloc rather than take more memory than the machine has available.
LoadResult load_tree_collection(const std::string& path);

// The same within `memory_budget` bytes: std::bad_alloc, with everything read so far freed,
// once the trees held and the worst case of the next line's tree could exceed the budget.
LoadResult load_tree_collection(const std::string& path, std::size_t memory_budget);

// Receives each tree as soon as its line is read, in file order, and answers how many bytes it
// keeps because of it: they count against the memory budget of the load.
using TreeSink = std::function<std::size_t(Tree&&)>;

// What load_tree_collection does, with each tree handed to `sink` instead of kept, and the
// labels added to `taxa`; nullopt when the whole file was read. A caller that indexes each
// tree at once never holds the trees of a whole file.
std::optional<LoadError> read_tree_file(const std::string& path, TaxonSet& taxa,
                                        const TreeSink& sink, std::size_t memory_budget);

}  // namespace treetally
