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
    // `index`: which of the values of a label written as several separated by "/" is the
    // support, from 1; unset, a label holds one value.
    explicit SupportLabels(std::optional<std::size_t> index = std::nullopt) : index_(index) {}

    // Takes `label`, read on `node` of the tree of line `line_number`, as that node's support;
    // a later label of the same node replaces it. The root's label is left alone: the root has
    // no branch to judge, and there it is often a name. Raises the fatal error
    // bad_support_label for a label (or its chosen value) without the grammar of a branch
    // length, for a label of several values when no index is set, and for a label without
    // the chosen value.
    void add(std::size_t line_number, NodeId node, std::string_view label);

    // How many labels were taken since construction (clear() keeps the count).
    std::size_t taken() const { return taken_; }

    // Entry i: the support of node i, nullopt for a node without a label; nodes past the end
    // have none either.
    std::span<const std::optional<double>> by_node() const { return values_; }

    // Forgets the tree's values, keeping the room for the next tree's.
    void clear() { values_.clear(); }

  private:
    std::vector<std::optional<double>> values_;
    std::optional<std::size_t> index_;
    std::size_t taken_ = 0;
};

// 'line <n>: the internal label "<label>" is not a support value', the label quoted as it was
// written, with any quote or backslash escaped and a long label cut short.
std::string not_a_support_value(std::size_t line_number, std::string_view label);

// not_a_support_value, telling that the label holds several values and how to choose one.
std::string several_support_values(std::size_t line_number, std::string_view label);

// 'line <n>: the internal label "<label>" has no value <index> ...', the label quoted so.
std::string no_such_support_value(std::size_t line_number, std::string_view label,
                                  std::size_t index);

}  // namespace treetally
