// Loading a tree file into the immutable record of a set, and indexing a collection already
// read, with the memory each takes estimated before it is taken.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sets/tree_set_data.hpp"
#include "tree/collapse_rule.hpp"
#include "tree/load_context.hpp"
#include "tree/tree_collection.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

// Loads and indexes the file at `path`. A load failure is the fatal error
// 'Failed to load tree collection: "<reason>"'; a reader's fatal error passes through, as does
// line_too_long for a line past the context's max_line_bytes.
// The context's interrupt is asked now and then, while loading and while indexing; what it
// raises ends the call with everything freed.
TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context = {});

// The same, with the branches that `rule` finds weak contracted in each tree as it is read,
// before it is indexed (collapse_branches); an empty rule loads exactly as above. With
// rule.min_support set, the label after each internal node's ")" is its support, and a label
// that is not a number is the fatal error not_a_support_value, naming its line; the root's
// label is not read. The memory guard counts each tree as read; the contraction's scratch
// (a second tree at most as large, and the support values) fits in the room the guard keeps
// beside it for the copies of its arrays and for its labels. When `problems` is set, the
// problems of each line go to it as read_tree_file hands them, and the load fails as it would
// without it. With rule.max_length set, a branch written without a length is never contracted
// for its length. When `notes` is set, it receives what a caller may warn of.
struct LoadNotes {
    std::size_t support_labels = 0;         // read (0 without a support bound)
    std::size_t trees_repeating_taxon = 0;  // trees naming a taxon on two nodes
    // Branches written with a length below zero, counted before any contraction (the root's
    // own length is no branch and not counted).
    std::size_t negative_lengths = 0;
};
//
// With `copies_apart`, every leaf of a tree is a taxon of its own: the k-th leaf (k >= 2) of a
// tree naming one taxon again is the taxon copy_name(name, k), so that each copy of a gene (or
// individual given one name) is kept; the notes then find no tree repeating a taxon. Without
// it, the later leaf of a repeated name is the one the index keeps.
TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context,
                               const CollapseRule& rule, const NumberedProblemSink& problems = {},
                               LoadNotes* notes = nullptr, bool copies_apart = false);

// The name of copy `copy` (>= 2) of `name` in a load with copies apart: the name, a line feed
// (which no name of a file of one tree per line holds) and the copy's number.
std::string copy_name(std::string_view name, std::size_t copy);

// The fatal error 'Failed to load tree collection: "<reason>"' for a failed load.
[[noreturn]] void fail_to_load(const LoadError& error);

// Indexes every tree of `collection`, each covering the collection's whole taxon set, and
// frees each tree once it is indexed. Raises std::bad_alloc, before building anything, when
// indexing_peak_bytes exceeds the memory that the context gives as available; the context's
// interrupt is asked every so many units of work.
TreeSetData index_tree_collection(TreeCollection collection, const LoadContext& context = {});

// Bytes that indexing `collection` keeps beside it: the indexes' blocks and their per-taxon
// tables (a block of memory each) and the list of indexes. Saturates instead of wrapping.
std::size_t collection_index_bytes(const TreeCollection& collection);

// The most that indexing `collection` holds beside it at one time: collection_index_bytes, the
// list of labelled nodes, and the scratch for building the largest index where it exceeds the
// per-taxon tables (the scratch goes before the tables come).
std::size_t indexing_peak_bytes(const TreeCollection& collection);

}  // namespace treetally
