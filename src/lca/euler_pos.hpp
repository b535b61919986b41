// A position in one tree's Euler tour. Position 0 is the root's first visit, so in a
// per-taxon table it doubles as "this tree lacks the taxon".
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>

namespace treetally {

struct EulerPos {
    std::uint32_t value = 0;

    constexpr bool is_absent() const { return value == 0; }
    constexpr std::size_t index() const { return value; }
    friend constexpr auto operator<=>(EulerPos, EulerPos) = default;
};

}  // namespace treetally
