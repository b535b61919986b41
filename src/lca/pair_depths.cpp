#include "lca/pair_depths.hpp"

#include <algorithm>

#include "base/fatal_error.hpp"

namespace treetally {

void lca_depths_from(const TreeLca& lca, EulerPos from, std::span<const EulerPos> others,
                     std::span<std::uint32_t> depths) {
    checked_index(others.size(), depths.size() + 1);
    // One bounds test for the whole run: every LCA of in-range positions is in range.
    checked_index(from.index(), lca.column_count());
    if (!lca.positions_in_range(others)) {
        for (const EulerPos p : others) checked_index(p.index(), lca.column_count());
    }
    lca.with_fastest_reads([&](const auto& reads) {
        for (std::size_t k = 0; k < others.size(); ++k)
            depths[k] = reads.lca_visit_in_range(from, others[k]).depth;
    });
}

}  // namespace treetally
