// Reads the text of one Newick tree into a Tree in one forward pass, without recursion.
// Leaf labels enter the shared TaxonSet; only an unparsable branch length is reported.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "tree/line_problems.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"

namespace treetally {

// Receives each label that the reader reads on a node that already has children (an internal
// node's name or support value, or the root's), which it otherwise drops; a node labelled again
// after a comment hands out each label in turn. The view lasts as long as the text.
using InternalLabelSink = std::function<void(NodeId node, std::string_view label)>;

// Receives each node that already has children when a branch length is written for it: a node
// without a written length keeps the 0.0 that trees store, and only this tells the two apart.
using InternalLengthSink = std::function<void(NodeId node)>;

// Reads `text` up to its first ';' outside a comment, or to its end.
// Raises the fatal error of Rust's float parser for a branch length that is not a number.
Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set);

// The same into `tree`, whose arrays are built in again and keep their room: a reader of one
// tree after another then allocates nothing once they have room for the largest. The arrays get
// room for `node_count` nodes when given (the nodes of reader_yield_of, say), else for
// node_openers_in's estimate. The labels it would drop go to `internal_labels` when it is set.
// When `problems` is set, the problems of the text (LineProblem, all but not_utf8) go to it
// as the text is read, and a branch length that is not a number is one of them instead of the
// fatal error: the length stays unset and the reading goes on. Unset, the reading is exactly
// the usual one, at its speed. The nodes with children given a length go to `internal_lengths`
// when it is set.
void parse_newick_tree_into(std::string_view text, TaxonSet& taxon_set, Tree& tree,
                            std::optional<std::size_t> node_count = std::nullopt,
                            const InternalLabelSink& internal_labels = {},
                            const LineProblemSink& problems = {},
                            const InternalLengthSink& internal_lengths = {});

// How many "(" and "," `text` holds: the reader makes at most one node for each, beyond the root.
std::size_t node_openers_in(std::string_view text);

// What parse_newick_tree makes of a text, found without building anything: exactly its nodes,
// and the labels it reads with their bytes (which bound what new taxon names take).
struct ReaderYield {
    std::size_t nodes = 1;
    std::size_t labels = 0;
    std::size_t label_bytes = 0;
};
// Unlike node_openers_in, skips what the reader skips: comments, "(" inside labels and lengths,
// and all after the first ";". Slower, for when that count is too rough.
ReaderYield reader_yield_of(std::string_view text);

// Reads `text` with its node arrays sized for `node_count` nodes from the start (the nodes of
// reader_yield_of, say), instead of for node_openers_in's estimate.
Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set, std::size_t node_count);

// Converts a branch-length text with the grammar of a decimal float (sign, digits, optional
// point, optional exponent, or inf/infinity/nan in any case); nullopt for any other text.
std::optional<double> parse_branch_length(std::string_view text);

}  // namespace treetally
