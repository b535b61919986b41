// Strong id types for nodes of one tree and taxa of one taxon set.
// Both are dense indexes; wrapping them keeps a node id from being used where a taxon id belongs.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>

namespace treetally {

// Index of a node within one Tree; the root is 0. `none()` (-1) marks a missing link.
struct NodeId {
    std::int32_t value = -1;

    static constexpr NodeId none() { return NodeId{-1}; }
    static constexpr NodeId root() { return NodeId{0}; }
    constexpr bool is_none() const { return value < 0; }
    constexpr std::size_t index() const { return static_cast<std::size_t>(value); }
    friend constexpr auto operator<=>(NodeId, NodeId) = default;
};

// Dense number of a taxon within one TaxonSet, in order of first appearance.
struct TaxonId {
    std::uint32_t value = 0;

    constexpr std::size_t index() const { return value; }
    friend constexpr auto operator<=>(TaxonId, TaxonId) = default;
};

// Largest number of nodes in one tree, or of taxa in one set: ids are stored as signed 32-bit.
inline constexpr std::size_t max_id_count = 0x7fffffff;

}  // namespace treetally
