// Which internal branches a load counts as too weak to resolve anything: those it contracts,
// turning the node below them into part of a polytomy.
#pragma once

#include <cstddef>
#include <optional>

namespace treetally {

struct CollapseRule {
    // Contract a branch whose length is at most this. A branch written without a length is
    // never contracted for its length, when the load knows which lengths were written: the
    // 0.0 that trees store for it says nothing of the branch.
    std::optional<double> max_length;
    // Contract a branch whose support (the label written after the ")" that closes its node)
    // is below this. A node without a label is never contracted for its support.
    std::optional<double> min_support;
    // Which value of a label that holds several separated by "/" (IQ-TREE's "80/95") is the
    // support, from 1; unset, such a label is refused.
    std::optional<std::size_t> support_index = std::nullopt;

    // A NaN bound contracts nothing, since no length or support compares with it.

    // Whether the rule contracts nothing at all, so a load need not look at any branch.
    bool empty() const { return !max_length && !min_support; }
};

}  // namespace treetally
