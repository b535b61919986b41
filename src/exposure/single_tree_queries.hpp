// The queries of one tree of a set: names to taxa, to positions in that tree, then the
// topology or distances. An absent taxon answers nullopt; an id past the end is fatal.
#pragma once

#include <cstdint>
#include <optional>

#include "exposure/tree_set_sweeps.hpp"
#include "lca/pair_distances.hpp"

namespace treetally {

std::optional<std::uint8_t> tree_quintet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuintetNames& names);
std::optional<std::uint8_t> tree_quartet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuartetNames& names);
std::optional<PairDistances> tree_pairwise_distances(const TreeSetData& data, std::uint64_t tree_id,
                                                     const QuintetNames& names);

}  // namespace treetally
