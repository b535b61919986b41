// The fifteen quintet topologies as (cherry, middle taxon, cherry) over slots 0-4, indexed by
// their type code; tests use it to name expected codes without going through split masks.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>

namespace treetally::test {

struct QuintetRow {
    std::array<int, 2> cherry_a;
    int middle;
    std::array<int, 2> cherry_b;
};

inline constexpr std::array<QuintetRow, 15> quintet_rows{{
    {{0, 1}, 2, {3, 4}},
    {{0, 1}, 3, {2, 4}},
    {{0, 1}, 4, {2, 3}},
    {{0, 2}, 1, {3, 4}},
    {{0, 2}, 3, {1, 4}},
    {{0, 2}, 4, {1, 3}},
    {{0, 3}, 1, {2, 4}},
    {{0, 3}, 2, {1, 4}},
    {{0, 3}, 4, {1, 2}},
    {{0, 4}, 1, {2, 3}},
    {{0, 4}, 2, {1, 3}},
    {{0, 4}, 3, {1, 2}},
    {{1, 2}, 0, {3, 4}},
    {{1, 3}, 0, {2, 4}},
    {{1, 4}, 0, {2, 3}},
}};

inline bool same_pair(std::array<int, 2> pair, int x, int y) {
    return (pair[0] == x && pair[1] == y) || (pair[0] == y && pair[1] == x);
}

// The code of the topology in which slots x and y form a cherry and `middle` is the middle
// taxon (the other cherry is then fixed).
inline std::uint8_t quintet_code_with(int x, int y, int middle) {
    for (std::size_t code = 0; code < quintet_rows.size(); ++code) {
        const QuintetRow& row = quintet_rows[code];
        if (row.middle == middle &&
            (same_pair(row.cherry_a, x, y) || same_pair(row.cherry_b, x, y)))
            return static_cast<std::uint8_t>(code);
    }
    throw std::logic_error("no quintet topology with that cherry and middle taxon");
}

// Where slot k of the original order went: the code that a tree of type `code` gets when
// the names are permuted so that new slot k holds old slot `old_slot_of[k]`.
inline std::uint8_t permuted_quintet_code(std::uint8_t code,
                                          const std::array<int, 5>& old_slot_of) {
    std::array<int, 5> new_slot_of{};
    for (int k = 0; k < 5; ++k) new_slot_of[old_slot_of[k]] = k;
    const QuintetRow& row = quintet_rows.at(code);
    return quintet_code_with(new_slot_of[row.cherry_a[0]], new_slot_of[row.cherry_a[1]],
                             new_slot_of[row.middle]);
}

}  // namespace treetally::test
