// The search both topology classifiers share: among pairs of taxa, find the one whose LCA
// lies deepest, and tell when the deepest pairs meet at one multifurcation (unresolved).
#pragma once

#include <array>
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

// The first of the strictly deepest records, or nullopt when two of the deepest records share
// one LCA node. `records` must not be empty.
std::optional<PairLca> deepest_pair(const TreeLca& lca, std::span<const PairLca> records);

// pair_lca for positions already known to be below the index's column count.
inline PairLca pair_lca_in_range(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                                 std::uint8_t second) {
    const TreeLca::Visit ancestor = lca.lca_visit_in_range(a, b);
    return PairLca{ancestor.position, first, second, ancestor.depth};
}

// deepest_pair for records made by pair_lca_in_range, at most ten of them. The scan keeps the
// first record of the greatest depth; the records of that depth are exactly those a running
// tally would hold at the end, so only their nodes are read, to see whether two coincide.
template <std::size_t Capacity>
std::optional<PairLca> deepest_pair_in_range(const TreeLca& lca,
                                             const std::array<PairLca, Capacity>& records,
                                             std::size_t count) {
    std::size_t best = 0;
    for (std::size_t k = 1; k < count; ++k) {
        if (records[k].depth > records[best].depth) best = k;
    }
    const std::uint32_t depth = records[best].depth;
    std::array<NodeId, Capacity> nodes;
    std::size_t node_count = 0;
    for (std::size_t k = best; k < count; ++k) {
        if (records[k].depth != depth) continue;
        const NodeId node = lca.node_at_in_range(records[k].lca_pos);
        for (std::size_t m = 0; m < node_count; ++m) {
            if (nodes[m] == node) return std::nullopt;
        }
        nodes[node_count++] = node;
    }
    return records[best];
}

}  // namespace treetally
