// Byte counts that add up to more than a size_t can hold: memory estimates saturate at the
// largest size, so that a hostile input reads as "too large" rather than wrapping to small.
#pragma once

#include <cstddef>
#include <limits>

namespace treetally {

constexpr std::size_t saturating_add(std::size_t a, std::size_t b) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
    return a > most - b ? most : a + b;
}

}  // namespace treetally
