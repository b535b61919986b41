// The table kernels over AVX2: 32, 16 or 8 depths per vector. AVX2 compares only for
// equality (unsigned), so "m0 strictly the largest" is read as "the largest of m1 and m2 is
// not the largest of all three", and its byte masks carry one bit per byte of a lane.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "base/fatal_error.hpp"
#include "tables/table_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

// Everything from here to pop_options, the shared loops included, is built for AVX2; every
// standard header it uses came in above, built for the baseline.
// clang ignores GCC's target pragma; it takes the same target as an attribute on every
// function of the region.
#if defined(__clang__)
#pragma clang diagnostic push
// The kernels declared before the region (table_kernels.hpp) are only defined here; clang
// notes that the attribute comes after their first declaration, which changes nothing.
#pragma clang diagnostic ignored "-Wignored-attributes"
#pragma clang attribute push(__attribute__((target("avx2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,popcnt")
#endif
#include "tables/table_kernel_loops.hpp"

namespace treetally::table_kernels {
namespace {

template <typename D>
struct Avx2Ops {
    using Depth = D;
    using Vec = __m256i;
    static constexpr std::size_t lanes = 32 / sizeof(D);
    static constexpr std::uint64_t bits_per_lane = sizeof(D);

    static Vec load(const D* at) { return _mm256_loadu_si256(reinterpret_cast<const Vec*>(at)); }
    static Vec max(Vec a, Vec b) {
        if constexpr (sizeof(D) == 1) return _mm256_max_epu8(a, b);
        if constexpr (sizeof(D) == 2) return _mm256_max_epu16(a, b);
        if constexpr (sizeof(D) == 4) return _mm256_max_epu32(a, b);
    }
    // One bit per byte, set in the lanes where `a` and `b` differ.
    static std::uint64_t differ(Vec a, Vec b) {
        Vec equal;
        if constexpr (sizeof(D) == 1) equal = _mm256_cmpeq_epi8(a, b);
        if constexpr (sizeof(D) == 2) equal = _mm256_cmpeq_epi16(a, b);
        if constexpr (sizeof(D) == 4) equal = _mm256_cmpeq_epi32(a, b);
        return static_cast<std::uint32_t>(~_mm256_movemask_epi8(equal));
    }
    static SplitMasks strictly_largest(Vec m0, Vec m1, Vec m2) {
        const Vec others0 = max(m1, m2);
        const Vec top = max(m0, others0);
        return {differ(top, others0), differ(top, max(m0, m2)), differ(top, max(m0, m1))};
    }
    // The sentinel is all ones in every width.
    static std::uint64_t held(Vec m) { return differ(m, _mm256_set1_epi32(-1)); }

    struct ByteQuartetTally;
    using QuartetTally =
        std::conditional_t<sizeof(D) == 1, ByteQuartetTally, PopcountQuartetTally<Avx2Ops>>;
};

// One-byte depths count in byte lanes: each compare's -1 lanes, subtracted, count the trees
// where a topology is not strictly the largest (or the quartet not held); the rest of the
// vectors' trees are the counts. The lanes are summed every 255 vectors, before a byte could
// overflow.
template <typename D>
struct Avx2Ops<D>::ByteQuartetTally {
    static constexpr std::size_t most_vectors = 255;
    Vec not_split0, not_split1, not_split2, not_held;
    std::uint64_t vectors = 0;

    // Written out, so that it is built for the target too (an implicit one would not be).
    ByteQuartetTally()
        : not_split0(_mm256_setzero_si256()),
          not_split1(_mm256_setzero_si256()),
          not_split2(_mm256_setzero_si256()),
          not_held(_mm256_setzero_si256()) {}

    void add(Vec m0, Vec m1, Vec m2) {
        const Vec others0 = max(m1, m2);
        const Vec top = max(m0, others0);
        not_split0 = _mm256_sub_epi8(not_split0, _mm256_cmpeq_epi8(top, others0));
        not_split1 = _mm256_sub_epi8(not_split1, _mm256_cmpeq_epi8(top, max(m0, m2)));
        not_split2 = _mm256_sub_epi8(not_split2, _mm256_cmpeq_epi8(top, max(m0, m1)));
        not_held = _mm256_sub_epi8(not_held, _mm256_cmpeq_epi8(m0, _mm256_set1_epi32(-1)));
        ++vectors;
    }
    std::array<std::uint64_t, 4> take() {
        // Each count sums to at most 255 * 32 < 2^16, so the four share one 64-bit sum as
        // 16-bit fields.
        const Vec zero = _mm256_setzero_si256();
        const Vec fields = _mm256_add_epi64(
            _mm256_add_epi64(_mm256_sad_epu8(not_split0, zero),
                             _mm256_slli_epi64(_mm256_sad_epu8(not_split1, zero), 16)),
            _mm256_add_epi64(_mm256_slli_epi64(_mm256_sad_epu8(not_split2, zero), 32),
                             _mm256_slli_epi64(_mm256_sad_epu8(not_held, zero), 48)));
        const __m128i half =
            _mm_add_epi64(_mm256_castsi256_si128(fields), _mm256_extracti128_si256(fields, 1));
        const auto sum = static_cast<std::uint64_t>(
            _mm_cvtsi128_si64(_mm_add_epi64(half, _mm_unpackhi_epi64(half, half))));
        const std::uint64_t trees = vectors * lanes;
        not_split0 = not_split1 = not_split2 = not_held = zero;
        vectors = 0;
        return {trees - (sum & 0xffff), trees - (sum >> 16 & 0xffff), trees - (sum >> 32 & 0xffff),
                trees - (sum >> 48)};
    }
};

constexpr std::array<KernelSet, 3> avx2_sets = {
    kernel_set_of<Avx2Ops<std::uint8_t>>(),
    kernel_set_of<Avx2Ops<std::uint16_t>>(),
    kernel_set_of<Avx2Ops<std::uint32_t>>(),
};

}  // namespace
}  // namespace treetally::table_kernels

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang diagnostic pop
#else
#pragma GCC pop_options
#endif

namespace treetally::table_kernels {

const KernelSet& avx2_kernels(std::size_t depth_bytes) {
    return avx2_sets[checked_index(static_cast<std::size_t>(std::countr_zero(depth_bytes)), 3)];
}

}  // namespace treetally::table_kernels

#else

namespace treetally::table_kernels {

const KernelSet& avx2_kernels(std::size_t) {
    fail("the AVX2 table kernels are built for x86-64 only");
}

}  // namespace treetally::table_kernels

#endif
