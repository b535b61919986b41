// The queries of one tree of a set: names to taxa, to positions in that tree, then the
// topology or distances. An absent taxon answers nullopt; an id past the end is fatal.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "lca/pair_distances.hpp"
#include "sets/tree_set_sweeps.hpp"

namespace treetally {

std::optional<std::uint8_t> tree_quintet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuintetNames& names);
std::optional<std::uint8_t> tree_quartet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuartetNames& names);
std::optional<PairDistances> tree_pairwise_distances(const TreeSetData& data, std::uint64_t tree_id,
                                                     const QuintetNames& names);

// The nodes of one tree of a set, as its index holds them: those its walk reaches, in preorder,
// the root first. Per node: its parent's place in this order (-1 for the root), the length of
// the branch above it (0 for the root; recovered from distances to the root, so a length is
// negative exactly when it was written negative, but for one lost in rounding) and its
// taxon's id (-1 for none; of two leaves with one taxon the later has it).
struct TreeNodes {
    std::vector<std::int64_t> parents;
    std::vector<double> lengths;
    std::vector<std::int64_t> taxa;
};

TreeNodes tree_nodes(const TreeSetData& data, std::uint64_t tree_id);

}  // namespace treetally
