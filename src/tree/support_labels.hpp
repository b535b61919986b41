// The support values of one tree's internal branches, read from the labels written after the
// ")" that closes each node, as the reader hands them out.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tree/ids.hpp"

namespace treetally {

class SupportLabels {
  public:
    // Takes `label`, read on `node` of the tree of line `line_number`, as that node's support;
    // a later label of the same node replaces it. The root's label is left alone: the root has
    // no branch to judge, and there it is often a name. Raises the fatal error
    // not_a_support_value for a label without the grammar of a branch length.
    void add(std::size_t line_number, NodeId node, std::string_view label);

    // Entry i: the support of node i, nullopt for a node without a label; nodes past the end
    // have none either.
    std::span<const std::optional<double>> by_node() const { return values_; }

    // Forgets the tree's values, keeping the room for the next tree's.
    void clear() { values_.clear(); }

  private:
    std::vector<std::optional<double>> values_;
};

// 'line <n>: the internal label "<label>" is not a support value', the label quoted as it was
// written, with any quote or backslash escaped and a long label cut short.
std::string not_a_support_value(std::size_t line_number, std::string_view label);

}  // namespace treetally
