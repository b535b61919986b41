// The search both topology classifiers share: among pairs of taxa, find the one whose LCA
// lies deepest, and tell when the deepest pairs meet at one multifurcation (unresolved).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "lca/euler_pos.hpp"
#include "lca/tree_lca.hpp"

namespace treetally {

// One pair of taxon slots with the position and depth of their LCA.
struct PairLca {
    EulerPos lca_pos;
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    std::uint32_t depth = 0;
};

// The record of the pair of slots `first` < `second` at positions `a`, `b`.
PairLca pair_lca(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                 std::uint8_t second);

// pair_lca for positions already known to be below the index's column count.
inline PairLca pair_lca_in_range(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                                 std::uint8_t second) {
    const TreeLca::Visit ancestor = lca.lca_visit_in_range(a, b);
    return PairLca{ancestor.position, first, second, ancestor.depth};
}

// The first of the deepest records, or nullopt when two of the deepest records share one LCA
// node (the taxa hang from one multifurcation). `records` holds one to ten records.
std::optional<PairLca> deepest_pair(const TreeLca& lca, std::span<const PairLca> records);

}  // namespace treetally
