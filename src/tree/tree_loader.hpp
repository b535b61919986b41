// Loads a file of Newick trees, one per line, into a TreeCollection.
// The only failures it returns as values are an unopenable file and an unreadable or non-UTF-8
// line.
#pragma once

#include <cstddef>
#include <string>
#include <variant>

#include "tree/interrupt_check.hpp"
#include "tree/tree_collection.hpp"

namespace treetally {

// Why a load failed: the fixed message "Could not read file" or "Error reading file".
struct LoadError {
    std::string message;
};

using LoadResult = std::variant<TreeCollection, LoadError>;

// Streams the file line by line; a fatal error of the reader passes straight through.
// Raises std::bad_alloc rather than take more memory than the machine has available.
// `interrupt` is asked before every read of 8 KB, and whenever a signal interrupts the opening
// or a read; whatever it raises ends the load, with the file closed and everything read freed.
LoadResult load_tree_collection(const std::string& path, const InterruptCheck& interrupt = {});

// The same within `memory_budget` bytes: std::bad_alloc, with everything read so far freed,
// once the trees held and the worst case of the next line's tree could exceed the budget.
LoadResult load_tree_collection(const std::string& path, std::size_t memory_budget,
                                const InterruptCheck& interrupt = {});

}  // namespace treetally
