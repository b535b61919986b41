// Loads a file of Newick trees, one per line, into a TreeCollection.
// The only failures it returns as values are an unopenable file and an unreadable or non-UTF-8
// line.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "tree/load_context.hpp"
#include "tree/tree_collection.hpp"

namespace treetally {

// Why a load failed: the fixed message "Could not read file" or "Error reading file".
struct LoadError {
    std::string message;
};

using LoadResult = std::variant<TreeCollection, LoadError>;

// Streams the file line by line; a fatal error of the reader passes straight through.
// Raises std::bad_alloc, with everything read so far freed, rather than let the line buffer,
// the trees and the taxon names outgrow the memory available when loading began.
// `context.interrupt` is asked before every read of 8 KB, and whenever a signal interrupts the
// opening or a read; whatever it raises ends the load, with the file closed and all freed.
LoadResult load_tree_collection(const std::string& path, const LoadContext& context = {});

}  // namespace treetally
