// The three sweeps over all trees of a set for one tuple of named taxa: topology tallies
// and the per-topology shares and relative path lengths. Plain C++, no interpreter.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "sets/tree_set_data.hpp"

namespace treetally {

using QuartetNames = std::array<std::string_view, 4>;
using QuintetNames = std::array<std::string_view, 5>;

using QuintetTally = std::array<std::uint64_t, quintet_type_count>;
using QuartetTally = std::array<std::uint64_t, quartet_type_count>;

// Entries 0-14: share of classified trees of each quintet type; entry 15 + 10*t + p: for type
// t, pair p's summed path length relative to the sum over all ten pairs.
inline constexpr std::size_t time_table_size = quintet_type_count * (1 + pair_count_of_five);
using TimeTable = std::array<double, time_table_size>;

QuintetTally tally_single_quintet(const TreeSetData& data, const QuintetNames& names);
QuartetTally tally_single_quartet(const TreeSetData& data, const QuartetNames& names);
TimeTable coalescence_times_by_topology(const TreeSetData& data, const QuintetNames& names);

}  // namespace treetally
