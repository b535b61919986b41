// The table kernels in plain C++, for any processor: one tree at a time, each quartet's
// topology as a number (3 when unresolved), and a quintet's topology looked up from four of
// its quartets. Loops the compiler may vectorise; no masks.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "base/fatal_error.hpp"
#include "tables/table_kernels.hpp"

namespace treetally::table_kernels {
namespace {

constexpr std::uint8_t unresolved = 3;

// The topology whose maximum is strictly the largest, or `unresolved`.
template <typename D>
std::uint8_t quartet_topology(D m0, D m1, D m2) {
    if (m0 > std::max(m1, m2)) return 0;
    if (m1 > std::max(m0, m2)) return 1;
    if (m2 > std::max(m0, m1)) return 2;
    return unresolved;
}

// Entry 27 q0 + 9 q1 + 3 q2 + q3 (q_d the topology of the quartet without slot d): the quintet
// topology whose clues these show. Only the entries of resolved quintets are ever read.
constexpr std::array<std::uint8_t, 81> make_quintet_by_quartets() {
    std::array<std::uint8_t, 81> table{};
    for (std::size_t index = 0; index < table.size(); ++index) {
        const std::array<std::size_t, 4> q = {index / 27, index / 9 % 3, index / 3 % 3, index % 3};
        for (std::uint8_t t = 0; t < quintet_type_count; ++t) {
            const auto& clue = quintet_clues[t];
            if (q[clue[0]] == clue[1] && q[clue[2]] == clue[3]) table[index] = t;
        }
    }
    return table;
}
constexpr std::array<std::uint8_t, 81> quintet_by_quartets = make_quintet_by_quartets();

template <typename D>
const D* depths_at(const std::byte* row) {
    return reinterpret_cast<const D*>(row);
}

template <typename D>
void quartet_rows(const QuartetRun& run, std::size_t trees, std::uint64_t* counts,
                  std::uint64_t* holding) {
    const D* ab = depths_at<D>(run.ab);
    const D* ac = depths_at<D>(run.ac);
    const D* bc = depths_at<D>(run.bc);
    for (std::size_t row = 0; row < run.rows; ++row) {
        const D* ad = depths_at<D>(run.ad + row * run.stride);
        const D* bd = depths_at<D>(run.bd + row * run.stride);
        const D* cd = depths_at<D>(run.cd + row * run.stride);
        std::uint64_t c0 = 0, c1 = 0, c2 = 0, held = 0;
        for (std::size_t t = 0; t < trees; ++t) {
            const D m0 = std::max(ab[t], cd[t]);
            const D m1 = std::max(ac[t], bd[t]);
            const D m2 = std::max(ad[t], bc[t]);
            c0 += m0 > std::max(m1, m2);
            c1 += m1 > std::max(m0, m2);
            c2 += m2 > std::max(m0, m1);
            held += m0 != std::numeric_limits<D>::max();
        }
        counts[quartet_type_count * row] = c0;
        counts[quartet_type_count * row + 1] = c1;
        counts[quartet_type_count * row + 2] = c2;
        holding[row] = held;
    }
}

// The prefix's quartet per tree, into the bytes of `scratch`: its topology, or `unresolved`
// where a taxon is missing too, plus 4 where all four are held.
template <typename D>
void quintet_prefix(const QuintetPrefix& prefix, std::size_t trees, std::uint64_t* scratch) {
    auto* quartet = reinterpret_cast<std::uint8_t*>(scratch);
    const D *ab = depths_at<D>(prefix.ab), *ac = depths_at<D>(prefix.ac),
            *ad = depths_at<D>(prefix.ad), *bc = depths_at<D>(prefix.bc),
            *bd = depths_at<D>(prefix.bd), *cd = depths_at<D>(prefix.cd);
    for (std::size_t t = 0; t < trees; ++t) {
        const D m0 = std::max(ab[t], cd[t]);
        quartet[t] = static_cast<std::uint8_t>(
            quartet_topology(m0, std::max(ac[t], bd[t]), std::max(ad[t], bc[t])) |
            (m0 != std::numeric_limits<D>::max() ? 4 : 0));
    }
}

template <typename D>
void quintet_rows(const QuintetPrefix& prefix, const std::uint64_t* scratch, const QuintetRun& run,
                  std::size_t trees, std::uint64_t* counts, std::uint64_t* holding) {
    const auto* prefix_quartet = reinterpret_cast<const std::uint8_t*>(scratch);
    const D *ab = depths_at<D>(prefix.ab), *ac = depths_at<D>(prefix.ac),
            *ad = depths_at<D>(prefix.ad), *bc = depths_at<D>(prefix.bc),
            *bd = depths_at<D>(prefix.bd), *cd = depths_at<D>(prefix.cd);
    for (std::size_t row = 0; row < run.rows; ++row) {
        const D* ae = depths_at<D>(run.ae + row * run.stride);
        const D* be = depths_at<D>(run.be + row * run.stride);
        const D* ce = depths_at<D>(run.ce + row * run.stride);
        const D* de = depths_at<D>(run.de + row * run.stride);
        std::array<std::uint64_t, quintet_type_count> row_counts{};
        std::uint64_t held = 0;
        for (std::size_t t = 0; t < trees; ++t) {
            const std::uint8_t fixed = prefix_quartet[t];
            // The prefix's four held and e with them.
            if (!(fixed & 4) || ae[t] == std::numeric_limits<D>::max()) continue;
            ++held;
            const std::uint8_t q4 = fixed & 3;
            const std::uint8_t q0 = quartet_topology(std::max(bc[t], de[t]), std::max(bd[t], ce[t]),
                                                     std::max(be[t], cd[t]));
            const std::uint8_t q1 = quartet_topology(std::max(ac[t], de[t]), std::max(ad[t], ce[t]),
                                                     std::max(ae[t], cd[t]));
            const std::uint8_t q2 = quartet_topology(std::max(ab[t], de[t]), std::max(ad[t], be[t]),
                                                     std::max(ae[t], bd[t]));
            const std::uint8_t q3 = quartet_topology(std::max(ab[t], ce[t]), std::max(ac[t], be[t]),
                                                     std::max(ae[t], bc[t]));
            if (std::max({q0, q1, q2, q3, q4}) == unresolved) continue;
            ++row_counts[quintet_by_quartets[27u * q0 + 9u * q1 + 3u * q2 + q3]];
        }
        std::copy(row_counts.begin(), row_counts.end(), counts + quintet_type_count * row);
        holding[row] = held;
    }
}

template <typename D>
constexpr KernelSet kernel_set_of() {
    return KernelSet{&quartet_rows<D>, &quintet_prefix<D>, &quintet_rows<D>, 1};
}

constexpr std::array<KernelSet, 3> baseline_sets = {
    kernel_set_of<std::uint8_t>(),
    kernel_set_of<std::uint16_t>(),
    kernel_set_of<std::uint32_t>(),
};

}  // namespace

const KernelSet& baseline_kernels(std::size_t depth_bytes) {
    return baseline_sets[checked_index(static_cast<std::size_t>(std::countr_zero(depth_bytes)), 3)];
}

}  // namespace treetally::table_kernels
