// The one bounds test a query makes before its unchecked LCA reads: every starting position
// must lie below the index's column count, as the per-taxon table guarantees.
#pragma once

#include <array>
#include <cstddef>

#include "base/fatal_error.hpp"
#include "lca/tree_lca.hpp"

namespace treetally {

// Raises the out-of-bounds fatal error that the first pair read would have raised, naming the
// larger position of the first pair (in pair order) that leaves the table.
template <std::size_t N>
void require_positions_in_range(const TreeLca& lca, const std::array<EulerPos, N>& positions) {
    if (lca.positions_in_range(positions)) [[likely]]
        return;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) {
            checked_index(std::max(positions[i].index(), positions[j].index()), lca.column_count());
        }
    }
    // A single position needs no pair; test it alone.
    for (const EulerPos p : positions) checked_index(p.index(), lca.column_count());
}

}  // namespace treetally
