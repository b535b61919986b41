// The search both topology classifiers share: among pairs of taxa, find the one whose LCA
// lies deepest, and tell when the deepest pairs meet at one multifurcation (unresolved).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "base/fatal_error.hpp"
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

// pair_lca for positions already known to be below the index's column count, through
// `reads`: the index or its TreeLca::ByteReads.
template <typename Reads>
PairLca pair_lca_in_range(const Reads& reads, EulerPos a, EulerPos b, std::uint8_t first,
                          std::uint8_t second) {
    const TreeLca::Visit ancestor = reads.lca_visit_in_range(a, b);
    return PairLca{ancestor.position, first, second, ancestor.depth};
}

// The first of the deepest records, or nullopt when two of the deepest records share one LCA
// node (the taxa hang from one multifurcation). `records` holds one to ten records, whose
// LCA positions came from `reads`.
template <typename Reads>
std::optional<PairLca> deepest_pair(const Reads& reads, std::span<const PairLca> records) {
    constexpr std::size_t most_records = 10;
    checked_index(records.size() - 1, most_records);
    // The first record of the greatest depth is the best. The records of that depth are
    // exactly those a running tally, reset at each strictly deeper record, would hold at the
    // end, so only their nodes are read, to see whether two coincide.
    std::size_t best = 0;
    for (std::size_t k = 1; k < records.size(); ++k) {
        if (records[k].depth > records[best].depth) best = k;
    }
    const std::uint32_t depth = records[best].depth;
    std::array<NodeId, most_records> nodes;
    std::size_t node_count = 0;
    for (std::size_t k = best; k < records.size(); ++k) {
        if (records[k].depth != depth) continue;
        const NodeId node = reads.node_at_in_range(records[k].lca_pos);
        for (std::size_t m = 0; m < node_count; ++m) {
            if (nodes[m] == node) return std::nullopt;
        }
        nodes[node_count++] = node;
    }
    return records[best];
}

}  // namespace treetally
