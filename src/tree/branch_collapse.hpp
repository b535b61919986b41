// Contracting the weak internal branches of a tree, so that the nodes below them become parts
// of polytomies, as if the tree had been written without them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "tree/collapse_rule.hpp"
#include "tree/tree.hpp"

namespace treetally {

// The tree with every branch that `rule` finds weak contracted: the branch above a node other
// than the root that has children and no taxon, when its length is at most rule.max_length or
// its support (support_by_node[node]; nodes without an entry have none) is below
// rule.min_support. The node's children then join its parent in its place, in their order, and
// keep their own branch lengths: the contracted length is gone from every path through it.
// Leaves, nodes that name a taxon and the root always stay. When `length_written` is given
// (entry i non-zero: node i was written with a length; nodes past its end were not), a node
// written without a length is never contracted for its length, only for its support.
//
// The arrays are those the reader gives for the text with the contracted nodes' brackets,
// labels and lengths taken out: the remaining nodes keep their order and are numbered again
// from 0, with the child counts and the root's flag recounted. Runs in a few passes over the
// nodes, without recursion, whatever the depth of the tree.
Tree collapse_branches(const Tree& tree, std::span<const std::optional<double>> support_by_node,
                       const CollapseRule& rule,
                       std::optional<std::span<const std::uint8_t>> length_written = std::nullopt);

}  // namespace treetally
