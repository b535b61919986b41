#include "lca/deepest_pair.hpp"

#include <array>

#include "tree/fatal_error.hpp"

namespace treetally {

PairLca pair_lca(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                 std::uint8_t second) {
    const EulerPos ancestor = lca.lca_position(a, b);
    return PairLca{ancestor, first, second, lca.depth_at(ancestor)};
}

std::optional<PairLca> deepest_pair(const TreeLca& lca, std::span<const PairLca> records) {
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
        const NodeId node = lca.node_at(records[k].lca_pos);
        for (std::size_t m = 0; m < node_count; ++m) {
            if (nodes[m] == node) return std::nullopt;
        }
        nodes[node_count++] = node;
    }
    return records[best];
}

}  // namespace treetally
