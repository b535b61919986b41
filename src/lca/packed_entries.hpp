// Unsigned entries stored in the fewest whole bytes (1, 2 or 4) that hold the largest of them,
// and read back as 32-bit values: how one index keeps a small tree small.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace treetally {

// A read takes four bytes and masks off those that belong to the following entries, which
// needs the lowest byte first.
static_assert(std::endian::native == std::endian::little, "packed entries need little-endian");

// Bytes that must stay readable after the last entry of an array, for that four-byte read.
inline constexpr std::size_t packed_read_slack = 3;

struct PackedWidth {
    std::uint8_t shift = 2;        // an entry takes 1 << shift bytes
    std::uint8_t unused_bits = 0;  // high bits of a four-byte read that are not the entry's

    // The narrowest width that holds every value up to `largest`.
    static constexpr PackedWidth holding(std::uint64_t largest) {
        if (largest <= 0xffu) return {0, 24};
        if (largest <= 0xffffu) return {1, 16};
        return {2, 0};
    }
    constexpr std::uint32_t mask() const {
        return static_cast<std::uint32_t>(std::uint64_t{0xffffffffu} >> unused_bits);
    }
    constexpr std::size_t entry_bytes() const { return std::size_t{1} << shift; }
    constexpr std::size_t bytes_for(std::size_t count) const { return count << shift; }
    friend constexpr bool operator==(PackedWidth, PackedWidth) = default;
};

// Entry `i` of the packed array at `array`; one unaligned load, no branch.
inline std::uint32_t read_packed(const std::byte* array, std::size_t i, PackedWidth width) {
    std::uint32_t word;
    std::memcpy(&word, array + (i << width.shift), sizeof word);
    return word & width.mask();
}

// Stores the low bytes of `value` as entry `i`; the caller ensures the value fits.
inline void write_packed(std::byte* array, std::size_t i, PackedWidth width, std::uint32_t value) {
    std::byte* const place = array + (i << width.shift);
    switch (width.shift) {
        case 0:
            *place = static_cast<std::byte>(value);
            break;
        case 1: {
            const auto narrow = static_cast<std::uint16_t>(value);
            std::memcpy(place, &narrow, sizeof narrow);
            break;
        }
        default:
            std::memcpy(place, &value, sizeof value);
    }
}

namespace packed_detail {
template <typename Entry>
void write_run_as(const std::uint32_t* values, std::size_t count, std::byte* array) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto entry = static_cast<Entry>(values[i]);
        std::memcpy(array + i * sizeof(Entry), &entry, sizeof(Entry));
    }
}
}  // namespace packed_detail

// Stores `count` 32-bit values as packed entries: one straight loop per width.
inline void write_packed_run(const std::uint32_t* values, std::size_t count, std::byte* array,
                             PackedWidth width) {
    switch (width.shift) {
        case 0:
            packed_detail::write_run_as<std::uint8_t>(values, count, array);
            break;
        case 1:
            packed_detail::write_run_as<std::uint16_t>(values, count, array);
            break;
        default:
            packed_detail::write_run_as<std::uint32_t>(values, count, array);
    }
}

}  // namespace treetally
