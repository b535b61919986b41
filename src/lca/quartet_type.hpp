// Which of the three unrooted quartet topologies one tree shows on four taxa.
// Codes are relative to slot order: 0 = 01|23, 1 = 02|13, 2 = 03|12; nullopt = unresolved.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "lca/tree_lca.hpp"

namespace treetally {

inline constexpr std::size_t quartet_type_count = 3;
using FourPositions = std::array<EulerPos, 4>;

// All four positions must be present (non-zero) in `lca`'s tree.
std::optional<std::uint8_t> quartet_type(const TreeLca& lca, const FourPositions& positions);

}  // namespace treetally
