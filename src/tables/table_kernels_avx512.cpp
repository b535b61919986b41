// The table kernels over AVX-512BW: 64, 32 or 16 depths per vector, compares straight into
// mask registers. Only called once the processor is known to run them.
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

// Everything from here to pop_options, the shared loops included, is built for AVX-512BW;
// every standard header it uses came in above, built for the baseline.
// clang ignores GCC's target pragma; it takes the same target as an attribute on every
// function of the region.
#if defined(__clang__)
#pragma clang diagnostic push
// The kernels declared before the region (table_kernels.hpp) are only defined here; clang
// notes that the attribute comes after their first declaration, which changes nothing.
#pragma clang diagnostic ignored "-Wignored-attributes"
#pragma clang attribute push(__attribute__((target("avx512bw,avx512f,avx512vl,popcnt,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512bw,avx512f,avx512vl,popcnt,bmi2")
#endif
// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined vector, which
// its own uninitialised-use warning then flags inside the intrinsic headers.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "tables/table_kernel_loops.hpp"

namespace treetally::table_kernels {
namespace {

template <typename D>
struct Avx512Ops {
    using Depth = D;
    using Vec = __m512i;
    static constexpr std::size_t lanes = 64 / sizeof(D);
    static constexpr std::uint64_t bits_per_lane = 1;

    static Vec load(const D* at) { return _mm512_loadu_si512(at); }
    static Vec max(Vec a, Vec b) {
        if constexpr (sizeof(D) == 1) return _mm512_max_epu8(a, b);
        if constexpr (sizeof(D) == 2) return _mm512_max_epu16(a, b);
        if constexpr (sizeof(D) == 4) return _mm512_max_epu32(a, b);
    }
    static std::uint64_t greater(Vec a, Vec b) {
        if constexpr (sizeof(D) == 1) return _mm512_cmpgt_epu8_mask(a, b);
        if constexpr (sizeof(D) == 2) return _mm512_cmpgt_epu16_mask(a, b);
        if constexpr (sizeof(D) == 4) return _mm512_cmpgt_epu32_mask(a, b);
    }
    static SplitMasks strictly_largest(Vec m0, Vec m1, Vec m2) {
        return {greater(m0, max(m1, m2)), greater(m1, max(m0, m2)), greater(m2, max(m0, m1))};
    }
    // The sentinel is all ones in every width.
    static std::uint64_t held(Vec m) { return greater(_mm512_set1_epi32(-1), m); }

    struct ByteQuartetTally;
    using QuartetTally =
        std::conditional_t<sizeof(D) == 1, ByteQuartetTally, PopcountQuartetTally<Avx512Ops>>;
};

// One-byte depths count in byte lanes, added under the compare masks, which never leave the
// mask registers; the lanes are summed every 255 vectors, before a byte could overflow.
template <typename D>
struct Avx512Ops<D>::ByteQuartetTally {
    static constexpr std::size_t most_vectors = 255;
    Vec split0, split1, split2, held;

    // Written out, so that it is built for the target too (an implicit one would not be).
    ByteQuartetTally()
        : split0(_mm512_setzero_si512()),
          split1(_mm512_setzero_si512()),
          split2(_mm512_setzero_si512()),
          held(_mm512_setzero_si512()) {}

    void add(Vec m0, Vec m1, Vec m2) {
        const Vec one = _mm512_set1_epi8(1);
        split0 = _mm512_mask_add_epi8(split0, _mm512_cmpgt_epu8_mask(m0, max(m1, m2)), split0, one);
        split1 = _mm512_mask_add_epi8(split1, _mm512_cmpgt_epu8_mask(m1, max(m0, m2)), split1, one);
        split2 = _mm512_mask_add_epi8(split2, _mm512_cmpgt_epu8_mask(m2, max(m0, m1)), split2, one);
        held = _mm512_mask_add_epi8(held, _mm512_cmpneq_epu8_mask(m0, _mm512_set1_epi32(-1)), held,
                                    one);
    }
    std::array<std::uint64_t, 4> take() {
        // Each count sums to at most 255 * 64 < 2^16 over the row, so the four share one
        // 64-bit sum as 16-bit fields.
        const Vec zero = _mm512_setzero_si512();
        const Vec fields =
            _mm512_add_epi64(_mm512_add_epi64(_mm512_sad_epu8(split0, zero),
                                              _mm512_slli_epi64(_mm512_sad_epu8(split1, zero), 16)),
                             _mm512_add_epi64(_mm512_slli_epi64(_mm512_sad_epu8(split2, zero), 32),
                                              _mm512_slli_epi64(_mm512_sad_epu8(held, zero), 48)));
        const auto sum = static_cast<std::uint64_t>(_mm512_reduce_add_epi64(fields));
        split0 = split1 = split2 = held = zero;
        return {sum & 0xffff, sum >> 16 & 0xffff, sum >> 32 & 0xffff, sum >> 48};
    }
};

constexpr std::array<KernelSet, 3> avx512_sets = {
    kernel_set_of<Avx512Ops<std::uint8_t>>(),
    kernel_set_of<Avx512Ops<std::uint16_t>>(),
    kernel_set_of<Avx512Ops<std::uint32_t>>(),
};

}  // namespace
}  // namespace treetally::table_kernels

#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang diagnostic pop
#else
#pragma GCC pop_options
#endif

namespace treetally::table_kernels {

const KernelSet& avx512_kernels(std::size_t depth_bytes) {
    return avx512_sets[checked_index(static_cast<std::size_t>(std::countr_zero(depth_bytes)), 3)];
}

}  // namespace treetally::table_kernels

#else

namespace treetally::table_kernels {

const KernelSet& avx512_kernels(std::size_t) {
    fail("the AVX-512 table kernels are built for x86-64 only");
}

}  // namespace treetally::table_kernels

#endif
