// SipHash, the keyed pseudorandom function CPython hashes str and bytes with: without the key,
// input cannot be crafted to make hashes collide, so hash tables keyed by file content stay fast.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace treetally {

// The 128-bit secret of a SipHash, as two little-endian 64-bit halves.
struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

namespace siphash_detail {

// Up to eight bytes read as a little-endian number, on hosts of either byte order.
inline std::uint64_t little_endian_word(const char* bytes, std::size_t count) {
    std::uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, bytes, count);
    } else {
        for (std::size_t k = 0; k < count; ++k)
            word |= std::uint64_t{static_cast<unsigned char>(bytes[k])} << (8 * k);
    }
    return word;
}

template <typename Word>
Word load(const char* bytes) {
    Word word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The last size % 8 bytes of `bytes` as a little-endian number. On little-endian hosts this
// reads them without a variable-length copy, which names (mostly shorter than 32 bytes) would
// pay per lookup: one 8-byte read ending at the last byte, or two overlapping shorter reads.
inline std::uint64_t last_bytes_word(const char* bytes, std::size_t size) {
    const std::size_t rest = size % 8;
    if constexpr (std::endian::native != std::endian::little)
        return little_endian_word(bytes + size - rest, rest);
    if (rest == 0) return 0;
    if (size >= 8) return load<std::uint64_t>(bytes + size - 8) >> (64 - 8 * rest);
    if (rest >= 4) {
        const std::uint64_t tail = load<std::uint32_t>(bytes + rest - 4);
        return load<std::uint32_t>(bytes) | (tail << (8 * (rest - 4)));
    }
    const auto byte_at = [&](std::size_t k) {
        return std::uint64_t{static_cast<unsigned char>(bytes[k])} << (8 * k);
    };
    return byte_at(0) | byte_at(rest / 2) | byte_at(rest - 1);
}

struct State {
    std::uint64_t v0, v1, v2, v3;

    void rounds(int count) {
        for (int r = 0; r < count; ++r) {
            // The round as SipHash's authors lay it out, one line per add-rotate-xor step.
            // clang-format off
            v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
            v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
            v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
            v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
            // clang-format on
        }
    }

    void absorb(std::uint64_t word, int compression_rounds) {
        v3 ^= word;
        rounds(compression_rounds);
        v0 ^= word;
    }
};

}  // namespace siphash_detail

// SipHash-c-d of `bytes` under `key`: c rounds per eight bytes, d rounds to finish.
template <int CompressionRounds, int FinalizationRounds>
std::uint64_t siphash(std::string_view bytes, HashKey key) {
    using siphash_detail::little_endian_word;
    siphash_detail::State state{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                                key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const std::size_t size = bytes.size();
    for (std::size_t k = 0; k + 8 <= size; k += 8)
        state.absorb(little_endian_word(bytes.data() + k, 8), CompressionRounds);
    // The last word holds the remaining bytes and, in its top byte, the length modulo 256.
    state.absorb(siphash_detail::last_bytes_word(bytes.data(), size) | (std::uint64_t{size} << 56),
                 CompressionRounds);
    state.v2 ^= 0xff;
    state.rounds(FinalizationRounds);
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

// The variant CPython uses since 3.11: the fewest rounds with no known attack on its keying.
inline std::uint64_t siphash13(std::string_view bytes, HashKey key) {
    return siphash<1, 3>(bytes, key);
}

}  // namespace treetally
