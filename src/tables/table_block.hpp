// A run of consecutive rows of an all-quartet or all-quintet table, as columns: the rows'
// taxa (indexes into the table's taxon list), their topology counts, the trees holding all
// their taxa and the unresolved ones among those.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"

namespace treetally {

// The topology codes of a row of `size` taxa: those of a quartet (4) or of a quintet (5).
constexpr std::size_t topology_codes(int size) {
    return size == 4 ? quartet_type_count : quintet_type_count;
}

struct TableBlock {
    int size = 4;                 // taxa per row: 4 (quartets) or 5 (quintets)
    std::uint64_t first_row = 0;  // rank of the block's first row in the whole table
    std::size_t rows = 0;
    std::vector<std::uint32_t> taxa;        // rows * size, row-major
    std::vector<std::uint64_t> counts;      // rows * codes, row-major (3 or 15 codes)
    std::vector<std::uint64_t> holding;     // per row: trees holding all its taxa
    std::vector<std::uint64_t> unresolved;  // per row: holding minus the counted trees
    // A table of species mapped from individuals instead holds, per row, each code's share of
    // trees and then the unresolved share (rows * (codes + 1), row-major); `counts` and
    // `unresolved` stay empty.
    std::vector<double> shares;

    bool fractional() const { return !shares.empty(); }

    std::size_t codes() const { return topology_codes(size); }
};

}  // namespace treetally
