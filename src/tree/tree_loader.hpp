// Loads a file of Newick trees, one per line, into a TreeCollection.
// The only failures it returns as values are an unopenable file and an unreadable or non-UTF-8
// line.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "tree/ids.hpp"
#include "tree/line_problems.hpp"
#include "tree/load_context.hpp"
#include "tree/newick_reader.hpp"
#include "tree/tree_collection.hpp"

namespace treetally {

// Why a load failed: a file that cannot be opened ("Could not read file") or one whose reading
// failed or met a line that is not UTF-8 ("Error reading file"); the kind says which.
struct LoadError {
    ErrorKind kind;
    std::string message;

    static LoadError not_opened() {
        return {ErrorKind::file_not_opened, messages::could_not_read_file};
    }
    static LoadError not_read() {
        return {ErrorKind::file_not_read, messages::error_reading_file};
    }
};

using LoadResult = std::variant<TreeCollection, LoadError>;

// Streams the file line by line; a fatal error of the reader passes straight through, and so
// does line_too_long for a line longer than the context's max_line_bytes.
// Raises std::bad_alloc, with everything read so far freed, rather than let the line buffer,
// the trees and the taxon names outgrow the memory available when loading began.
// `context.interrupt` is asked before every read of 8 KB, and whenever a signal interrupts the
// opening or a read; whatever it raises ends the load, with the file closed and all freed.
LoadResult load_tree_collection(const std::string& path, const LoadContext& context = {});

// Receives each tree as soon as its line is read, in file order, and answers how many bytes it
// keeps because of it: they count against the memory budget of the load.
using TreeSink = std::function<std::size_t(Tree&&)>;

// Receives each label that the reader drops (InternalLabelSink), with the number of its line in
// the file, counted from 1; a line's labels all come before its tree goes to the TreeSink.
using NumberedLabelSink =
    std::function<void(std::size_t line_number, NodeId node, std::string_view label)>;

// Receives each problem of a line (LineProblemSink) with the number of its line, counted from 1.
using NumberedProblemSink =
    std::function<void(std::size_t line_number, LineProblem problem, std::string_view detail)>;

// What load_tree_collection does, with each tree handed to `sink` instead of kept, and the
// labels added to `taxa`, within `memory_budget` bytes and asking `interrupt` as
// load_tree_collection asks its context's; nullopt when the whole file was read. A caller that
// indexes each tree at once never holds the trees of a whole file. When `internal_labels` is
// set, the labels of internal nodes and roots go to it as they are read. With
// `max_line_bytes`, a longer line is the fatal error line_too_long (see LoadContext).
// When `problems` is set, each line's problems go to it before its tree goes to `sink`, and the
// load fails as it would without it: a line that is not UTF-8 is reported, then the load's
// error; a branch length that is not a number is reported with the rest of its line's problems,
// then the reader's fatal error. When `internal_lengths` is set, the nodes with children given a
// length go to it as they are read, before their tree goes to `sink`.
std::optional<LoadError> read_tree_file(const std::string& path, TaxonSet& taxa,
                                        const TreeSink& sink, std::size_t memory_budget,
                                        const InterruptCheck& interrupt = {},
                                        const NumberedLabelSink& internal_labels = {},
                                        std::optional<std::size_t> max_line_bytes = std::nullopt,
                                        const NumberedProblemSink& problems = {},
                                        const InternalLengthSink& internal_lengths = {});

// Reads the file at `path` as read_tree_file reads it, for its lines' problems alone: each goes
// to `problems`, and a line that is not UTF-8 or holds a length that is not a number is reported
// like any other and passed. Keeps the taxon names, as a load does, and no tree. Returns the number of lines, or
// the load's error when the file cannot be opened or read; a line longer than `max_line_bytes`
// is the fatal error line_too_long, and `interrupt` is asked as the load asks it.
std::variant<std::size_t, LoadError> check_tree_file(const std::string& path,
                                                     const NumberedProblemSink& problems,
                                                     std::size_t memory_budget,
                                                     const InterruptCheck& interrupt = {},
                                                     std::optional<std::size_t> max_line_bytes =
                                                         std::nullopt);

// The problems of one line (its line ending removed or not), as check_tree_file finds them.
void check_line(std::string_view line, const LineProblemSink& problems);

// The taxa of the tree of one line (its line ending removed or not) node by node, a taxon on two
// nodes twice, as check_line reads it: a length that is not a number is passed over.
std::vector<std::string> line_taxa(std::string_view line);

}  // namespace treetally
