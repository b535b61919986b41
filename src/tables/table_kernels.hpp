// The counting kernels of the all-quartet and all-quintet tables, one set per instruction set
// and depth width. Each counts one run of rows that share all taxa but the last, reading the
// pair-depth rows (see pair_depth_rows.hpp) over `trees` trees, a multiple of 64.
//
// Quartet (slots a, b, c, d) in one tree: with D the pair depths, m0 = max(D_ab, D_cd),
// m1 = max(D_ac, D_bd), m2 = max(D_ad, D_bc); the tree shows topology k when m_k is strictly
// the largest, and leaves the quartet unresolved on a tie. This is the deepest-pair rule:
// two pairs at one depth meet at one node exactly when they share a taxon, and pairs of
// different splits always share one. A missing taxon makes all three the sentinel (each
// taxon is in one pair of every split), a tie; m0 below the sentinel means all four are held.
//
// Quintet: the tree is resolved exactly when all five of its quartets are, and then shows the
// one topology that agrees with all five; two quartets' topologies name it among the fifteen.
// (Equivalent to the two deepest-pair passes: an unresolved pass leaves some quartet
// unresolved, and a resolved quintet shows its two splits in every quartet.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "tables/kernel_width.hpp"

namespace treetally::table_kernels {

// Rows (a, b), (a, c), (b, c), and the first rows of the runs (a, d), (b, d), (c, d) for
// consecutive d, each run `stride` bytes from one row to the next.
struct QuartetRun {
    const std::byte* ab;
    const std::byte* ac;
    const std::byte* bc;
    const std::byte* ad;
    const std::byte* bd;
    const std::byte* cd;
    std::size_t rows;
    std::size_t stride;
};

// The six rows among the first four slots of a quintet.
struct QuintetPrefix {
    const std::byte* ab;
    const std::byte* ac;
    const std::byte* ad;
    const std::byte* bc;
    const std::byte* bd;
    const std::byte* cd;
};

// The first rows of the runs (a, e), (b, e), (c, e), (d, e) for consecutive e.
struct QuintetRun {
    const std::byte* ae;
    const std::byte* be;
    const std::byte* ce;
    const std::byte* de;
    std::size_t rows;
    std::size_t stride;
};

// Per quartet row: counts[3 * row + k] trees of topology k, holding[row] trees holding all four.
using QuartetRowsKernel = void (*)(const QuartetRun& run, std::size_t trees, std::uint64_t* counts,
                                   std::uint64_t* holding);
// What every row of a prefix's runs shares (its own quartet over the trees, say) into
// `scratch` (prefix_scratch_words(trees) words, laid out as the kernel set likes).
using QuintetPrefixKernel = void (*)(const QuintetPrefix& prefix, std::size_t trees,
                                     std::uint64_t* scratch);
// Per quintet row: counts[15 * row + k] and holding[row], given the prefix's scratch.
using QuintetRowsKernel = void (*)(const QuintetPrefix& prefix, const std::uint64_t* scratch,
                                   const QuintetRun& run, std::size_t trees, std::uint64_t* counts,
                                   std::uint64_t* holding);

struct KernelSet {
    QuartetRowsKernel quartet_rows;
    QuintetPrefixKernel quintet_prefix;
    QuintetRowsKernel quintet_rows;
    std::size_t lanes;  // trees per vector
};

// Words of a quintet prefix's scratch for `trees` trees, for every kernel set: at most its six
// rows and four mask words per 8 trees (AVX2 over 4-byte depths has the fewest lanes).
constexpr std::size_t prefix_scratch_words(std::size_t trees) {
    return (6 * 4 * trees + 4 * 8 * (trees / 8 + 1)) / 8 + 1;
}

// The kernels of `width` for depths of `depth_bytes` (1, 2 or 4) bytes.
const KernelSet& kernels_for(KernelWidth width, std::size_t depth_bytes);

// Each instruction set's kernels; avx2 and avx512 only where the compiler targets x86.
const KernelSet& baseline_kernels(std::size_t depth_bytes);
const KernelSet& avx2_kernels(std::size_t depth_bytes);
const KernelSet& avx512_kernels(std::size_t depth_bytes);

// For the 15 quintet topologies, the two (dropped slot, quartet topology) facts that name it
// among resolved trees: entry t = {d1, k1, d2, k2} says the quartet without slot d1 shows
// topology k1 and the one without slot d2 shows k2. d1 is 0 or 1 throughout.
inline constexpr std::uint8_t quintet_clues[quintet_type_count][4] = {
    {0, 0, 3, 0}, {0, 1, 2, 0}, {0, 2, 2, 0}, {0, 0, 3, 1}, {0, 2, 1, 0},
    {0, 1, 1, 0}, {0, 1, 2, 1}, {0, 2, 1, 1}, {0, 0, 1, 1}, {0, 2, 2, 2},
    {0, 1, 1, 2}, {0, 0, 1, 2}, {1, 0, 3, 2}, {1, 1, 2, 2}, {1, 2, 2, 1},
};

}  // namespace treetally::table_kernels
