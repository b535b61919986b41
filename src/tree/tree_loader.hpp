// Loads a file of Newick trees, one per line, into a TreeCollection.
// The only failures it returns as values are an unopenable file and an unreadable or non-UTF-8
// line.
#pragma once

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
LoadResult load_tree_collection(const std::string& path);

}  // namespace treetally
