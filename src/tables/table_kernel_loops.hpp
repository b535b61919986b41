// The loops of the table kernels, written once over the lane operations of an instruction set
// and compiled once for each: every kernel file includes this header after choosing its target
// (#pragma GCC target), so that these templates take that target and inline its intrinsics.
// Everything here has internal linkage, so the copies of different files never meet.
//
// `Ops` gives, over vectors of `lanes` depths of type `Depth`: load, max, the masks of the lanes
// where each of three maxima is strictly the largest (`strictly_largest`), and the mask of the
// lanes below the sentinel (`held`). A mask carries `bits_per_lane` equal bits per lane.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "tables/table_kernels.hpp"

namespace treetally::table_kernels {
namespace {

using SplitMasks = std::array<std::uint64_t, 3>;

template <typename Depth>
const Depth* depths_at(const std::byte* row) {
    return reinterpret_cast<const Depth*>(row);
}

// The trees of each quartet topology and those holding all four, over the vectors added, from
// the popcounts of each vector's masks. An instruction set may count in vector lanes instead
// (its Ops::QuartetTally), taking the totals every `most_vectors` vectors.
template <class Ops>
struct PopcountQuartetTally {
    static constexpr std::size_t most_vectors = std::size_t{1} << 40;
    std::array<std::uint64_t, 4> bits{};

    void add(const typename Ops::Vec& m0, const typename Ops::Vec& m1,
             const typename Ops::Vec& m2) {
        const SplitMasks split = Ops::strictly_largest(m0, m1, m2);
        bits[0] += static_cast<std::uint64_t>(std::popcount(split[0]));
        bits[1] += static_cast<std::uint64_t>(std::popcount(split[1]));
        bits[2] += static_cast<std::uint64_t>(std::popcount(split[2]));
        bits[3] += static_cast<std::uint64_t>(std::popcount(Ops::held(m0)));
    }
    // Topologies 0, 1, 2 and the held trees; starts again from zero.
    std::array<std::uint64_t, 4> take() {
        std::array<std::uint64_t, 4> totals;
        for (std::size_t k = 0; k < 4; ++k) totals[k] = bits[k] / Ops::bits_per_lane;
        bits = {};
        return totals;
    }
};

template <class Ops>
void quartet_rows(const QuartetRun& run, std::size_t trees, std::uint64_t* counts,
                  std::uint64_t* holding) {
    using Depth = typename Ops::Depth;
    using Tally = typename Ops::QuartetTally;
    const Depth* ab = depths_at<Depth>(run.ab);
    const Depth* ac = depths_at<Depth>(run.ac);
    const Depth* bc = depths_at<Depth>(run.bc);
    for (std::size_t row = 0; row < run.rows; ++row) {
        const Depth* ad = depths_at<Depth>(run.ad + row * run.stride);
        const Depth* bd = depths_at<Depth>(run.bd + row * run.stride);
        const Depth* cd = depths_at<Depth>(run.cd + row * run.stride);
        std::array<std::uint64_t, 4> totals{};
        Tally tally;
        for (std::size_t t = 0; t < trees;) {
            const std::size_t end = std::min(trees, t + Tally::most_vectors * Ops::lanes);
            for (; t < end; t += Ops::lanes) {
                tally.add(Ops::max(Ops::load(ab + t), Ops::load(cd + t)),
                          Ops::max(Ops::load(ac + t), Ops::load(bd + t)),
                          Ops::max(Ops::load(ad + t), Ops::load(bc + t)));
            }
            const std::array<std::uint64_t, 4> taken = tally.take();
            for (std::size_t k = 0; k < 4; ++k) totals[k] += taken[k];
        }
        counts[quartet_type_count * row] = totals[0];
        counts[quartet_type_count * row + 1] = totals[1];
        counts[quartet_type_count * row + 2] = totals[2];
        holding[row] = totals[3];
    }
}

// Per vector of trees: the prefix's six rows, one vector each, then the masks of its quartet
// (three topologies and the held trees), so that the rows loop reads them from one place.
template <class Ops>
struct PrefixVector {
    typename Ops::Depth rows[6][Ops::lanes];
    std::uint64_t masks[4];
};

template <class Ops>
void quintet_prefix(const QuintetPrefix& prefix, std::size_t trees, std::uint64_t* scratch) {
    using Depth = typename Ops::Depth;
    const std::array<const Depth*, 6> rows = {
        depths_at<Depth>(prefix.ab), depths_at<Depth>(prefix.ac), depths_at<Depth>(prefix.ad),
        depths_at<Depth>(prefix.bc), depths_at<Depth>(prefix.bd), depths_at<Depth>(prefix.cd)};
    auto* vector = reinterpret_cast<PrefixVector<Ops>*>(scratch);
    for (std::size_t t = 0; t < trees; t += Ops::lanes, ++vector) {
        for (std::size_t r = 0; r < 6; ++r)
            std::memcpy(vector->rows[r], rows[r] + t, sizeof vector->rows[r]);
        const auto m0 = Ops::max(Ops::load(rows[0] + t), Ops::load(rows[5] + t));
        const auto m1 = Ops::max(Ops::load(rows[1] + t), Ops::load(rows[4] + t));
        const auto m2 = Ops::max(Ops::load(rows[2] + t), Ops::load(rows[3] + t));
        const SplitMasks split = Ops::strictly_largest(m0, m1, m2);
        vector->masks[0] = split[0];
        vector->masks[1] = split[1];
        vector->masks[2] = split[2];
        vector->masks[3] = Ops::held(m0);
    }
}

// Adds to counts[T] the lanes of `resolved` whose quartets show topology T's two clues.
template <std::size_t... T>
void add_quintet_topologies(std::uint64_t* counts, std::uint64_t resolved,
                            const std::array<SplitMasks, 5>& quartets, std::index_sequence<T...>) {
    // The first clue always drops slot 0 or 1: AND those six masks with `resolved` once.
    const std::array<SplitMasks, 2> first = {{
        {resolved & quartets[0][0], resolved & quartets[0][1], resolved & quartets[0][2]},
        {resolved & quartets[1][0], resolved & quartets[1][1], resolved & quartets[1][2]},
    }};
    ((counts[T] += static_cast<std::uint64_t>(
          std::popcount(first[quintet_clues[T][0]][quintet_clues[T][1]] &
                        quartets[quintet_clues[T][2]][quintet_clues[T][3]]))),
     ...);
}

template <class Ops>
void quintet_rows(const QuintetPrefix&, const std::uint64_t* scratch, const QuintetRun& run,
                  std::size_t trees, std::uint64_t* counts, std::uint64_t* holding) {
    using Depth = typename Ops::Depth;
    const auto* prefix = reinterpret_cast<const PrefixVector<Ops>*>(scratch);
    for (std::size_t row = 0; row < run.rows; ++row) {
        const Depth* ae = depths_at<Depth>(run.ae + row * run.stride);
        const Depth* be = depths_at<Depth>(run.be + row * run.stride);
        const Depth* ce = depths_at<Depth>(run.ce + row * run.stride);
        const Depth* de = depths_at<Depth>(run.de + row * run.stride);
        std::uint64_t row_counts[quintet_type_count] = {};
        std::uint64_t held = 0;
        const PrefixVector<Ops>* p = prefix;
        for (std::size_t t = 0; t < trees; t += Ops::lanes, ++p) {
            const auto vab = Ops::load(p->rows[0]), vac = Ops::load(p->rows[1]);
            const auto vad = Ops::load(p->rows[2]), vbc = Ops::load(p->rows[3]);
            const auto vbd = Ops::load(p->rows[4]), vcd = Ops::load(p->rows[5]);
            const auto vae = Ops::load(ae + t), vbe = Ops::load(be + t);
            const auto vce = Ops::load(ce + t), vde = Ops::load(de + t);
            // Entry d: the quartet of the four slots but d, in slot order.
            const std::array<SplitMasks, 5> quartets = {{
                Ops::strictly_largest(Ops::max(vbc, vde), Ops::max(vbd, vce), Ops::max(vbe, vcd)),
                Ops::strictly_largest(Ops::max(vac, vde), Ops::max(vad, vce), Ops::max(vae, vcd)),
                Ops::strictly_largest(Ops::max(vab, vde), Ops::max(vad, vbe), Ops::max(vae, vbd)),
                Ops::strictly_largest(Ops::max(vab, vce), Ops::max(vac, vbe), Ops::max(vae, vbc)),
                {p->masks[0], p->masks[1], p->masks[2]},
            }};
            std::uint64_t resolved = ~std::uint64_t{0};
            for (const SplitMasks& q : quartets) resolved &= q[0] | q[1] | q[2];
            // The prefix's four are held where its first maximum is below the sentinel, and
            // then e is held where its depth with a is.
            held += static_cast<std::uint64_t>(std::popcount(p->masks[3] & Ops::held(vae)));
            add_quintet_topologies(row_counts, resolved, quartets, std::make_index_sequence<quintet_type_count>());
        }
        for (std::size_t k = 0; k < quintet_type_count; ++k)
            counts[quintet_type_count * row + k] = row_counts[k] / Ops::bits_per_lane;
        holding[row] = held / Ops::bits_per_lane;
    }
}

template <class Ops>
constexpr KernelSet kernel_set_of() {
    return KernelSet{&quartet_rows<Ops>, &quintet_prefix<Ops>, &quintet_rows<Ops>, Ops::lanes};
}

}  // namespace
}  // namespace treetally::table_kernels
