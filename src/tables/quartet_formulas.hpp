// What the counts of one quartet's three topologies say under the multispecies coalescent:
// the topology the gene trees favour, the internal branch length that its concordance implies,
// and the concordance a branch length predicts. Every table column, species-tree weight and
// test that needs one of these takes it from here, so that each formula has one home.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

#include "base/fatal_error.hpp"

namespace treetally {

// The code of the largest count, the lowest code among tied largest counts; -1 when every
// count is 0.
inline int dominant_code(std::span<const std::uint64_t, 3> counts) {
    int best = 0;
    for (int code = 1; code < 3; ++code)
        if (counts[static_cast<std::size_t>(code)] > counts[static_cast<std::size_t>(best)]) best = code;
    return counts[static_cast<std::size_t>(best)] == 0 ? -1 : best;
}

// -ln(3/2 (1 - CF)) for the dominant topology's concordance CF = largest / resolved: the
// internal length (coalescent units) whose expected concordance is CF. Infinite when only one
// topology occurs; NaN when CF <= 1/3 or nothing is resolved. Computed as Python computes
// -math.log(1.5 * (resolved - best) / resolved), so that values match to the bit.
inline double estimated_length(std::uint64_t best, std::uint64_t resolved) {
    if (resolved == 0 || 3 * best <= resolved) return std::numeric_limits<double>::quiet_NaN();
    if (best == resolved) return std::numeric_limits<double>::infinity();
    return -std::log(1.5 * static_cast<double>(resolved - best) / static_cast<double>(resolved));
}

inline double estimated_length(std::span<const std::uint64_t, 3> counts) {
    const std::uint64_t resolved = counts[0] + counts[1] + counts[2];
    const int code = dominant_code(counts);
    return estimated_length(code < 0 ? 0 : counts[static_cast<std::size_t>(code)], resolved);
}

// The same of counts that may be fractional (trees shared among the quartets of individuals):
// the lowest code among tied largest counts, -1 when every count is 0; and the length
// -ln(3/2 (1 - CF)) of the dominant topology's concordance.
inline int dominant_code(std::span<const double, 3> counts) {
    int best = 0;
    for (int code = 1; code < 3; ++code)
        if (counts[static_cast<std::size_t>(code)] > counts[static_cast<std::size_t>(best)]) best = code;
    return counts[static_cast<std::size_t>(best)] > 0.0 ? best : -1;
}

inline double estimated_length(std::span<const double, 3> counts) {
    const double resolved = counts[0] + counts[1] + counts[2];
    const int code = dominant_code(counts);
    if (code < 0) return std::numeric_limits<double>::quiet_NaN();
    const double best = counts[static_cast<std::size_t>(code)];
    if (3.0 * best <= resolved) return std::numeric_limits<double>::quiet_NaN();
    if (best == resolved) return std::numeric_limits<double>::infinity();
    return -std::log(1.5 * (resolved - best) / resolved);
}

// The counts with every unresolved tree (one holding the quartet but resolving none of its
// topologies) spread a third to each topology, in thirds of a tree: 3 count + unresolved, so
// that the spread counts stay whole numbers and their ratios exact. Ties and the dominant code
// are those of the raw counts. Fatal when the thirds would pass 2^61 in all (no set of trees
// comes near), so that the tests' sums of squares of them stay within 128 bits.
inline std::array<std::uint64_t, 3> spread_thirds(std::span<const std::uint64_t, 3> counts,
                                                  std::uint64_t unresolved) {
    constexpr std::uint64_t most = std::uint64_t{1} << 61;
    std::uint64_t total = unresolved;
    for (const std::uint64_t count : counts)
        total = count > most || total > most - count ? most : total + count;
    if (total > most / 3) fail("Counts too large to spread unresolved trees over");
    return {3 * counts[0] + unresolved, 3 * counts[1] + unresolved, 3 * counts[2] + unresolved};
}

// The probability that a gene tree shows the species quartet, 1 - 2/3 e^(-t), for an internal
// branch of t coalescent units; each other topology has half the rest.
inline double expected_concordance(double internal_length) {
    return 1.0 - 2.0 / 3.0 * std::exp(-internal_length);
}

}  // namespace treetally
