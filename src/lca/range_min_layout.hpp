// Where one tree's range-minimum table keeps its levels: level k >= 1 as a row of the columns
// it uses, each entry the distance of the chosen position from its own column, in few bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace treetally {

// Level 0 (each column is its own minimum) is not stored. Level k covers windows of 2^k
// positions, so only its first C - 2^k + 1 columns are used, and the chosen position lies less
// than 2^k past its column: 1 byte holds an entry up to level 8, 2 bytes up to level 16, 4
// beyond. The rows follow each other, level 1 first; row k starts at
//     (C + 1) * (entry bytes of levels 1 .. k-1)  -  (sum over those levels of bytes x 2^i).
struct RangeMinLevel {
    std::uint64_t weighted_below = 0;  // sum over levels 1 .. k-1 of entry bytes x 2^i
    std::uint32_t bytes_below = 0;     // sum over levels 1 .. k-1 of entry bytes
    std::uint8_t shift = 0;            // an entry of this level takes 1 << shift bytes
};

// Levels 0 to 32: positions are 32-bit, so a table has at most 32 levels, and level 32 is where
// the rows end.
inline constexpr std::size_t range_min_level_slots = 33;

constexpr std::array<RangeMinLevel, range_min_level_slots> make_range_min_levels() {
    std::array<RangeMinLevel, range_min_level_slots> levels{};
    for (std::size_t k = 1; k < range_min_level_slots; ++k) {
        levels[k].shift = k <= 8 ? 0 : (k <= 16 ? 1 : 2);
        const std::uint64_t entry_bytes = std::uint64_t{1} << levels[k - 1].shift;
        // Level 0 stores nothing, so it adds nothing to the rows of the levels above it.
        const std::uint64_t below_bytes = k == 1 ? 0 : entry_bytes;
        levels[k].bytes_below = levels[k - 1].bytes_below + static_cast<std::uint32_t>(below_bytes);
        levels[k].weighted_below = levels[k - 1].weighted_below + (below_bytes << (k - 1));
    }
    return levels;
}

inline constexpr std::array<RangeMinLevel, range_min_level_slots> range_min_levels =
    make_range_min_levels();

// Byte offset of row `level` in a table of `columns` columns; for level == the level count,
// the bytes of the whole table.
constexpr std::size_t range_min_row_start(std::size_t level, std::size_t columns) {
    const RangeMinLevel& place = range_min_levels[level];
    return (columns + 1) * place.bytes_below - static_cast<std::size_t>(place.weighted_below);
}

}  // namespace treetally
