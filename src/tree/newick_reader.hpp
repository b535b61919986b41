// Reads the text of one Newick tree into a Tree in one forward pass, without recursion.
// Leaf labels enter the shared TaxonSet; only an unparsable branch length is reported.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"

namespace treetally {

// Reads `text` up to its first ';' outside a comment, or to its end.
// Raises the fatal error of Rust's float parser for a branch length that is not a number.
Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set);

// The same into `tree`, whose arrays are built in again and keep their room: a reader of one
// tree after another then allocates nothing once they have room for the largest.
void parse_newick_tree_into(std::string_view text, TaxonSet& taxon_set, Tree& tree);

// How many "(" and "," `text` holds: the reader makes at most one node for each, beyond the root.
std::size_t node_openers_in(std::string_view text);

// Converts a branch-length text with the grammar of a decimal float (sign, digits, optional
// point, optional exponent, or inf/infinity/nan in any case); nullopt for any other text.
std::optional<double> parse_branch_length(std::string_view text);

}  // namespace treetally
