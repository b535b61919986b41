#include "base/utf8_validation.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace treetally {

namespace {

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid multi-byte sequence starting at `p` (lead byte >= 0x80), or 0.
std::size_t multibyte_length(const unsigned char* p, std::size_t available) {
    const unsigned char lead = p[0];
    if (lead >= 0xC2 && lead <= 0xDF) {
        return available >= 2 && is_continuation(p[1]) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (available < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return 0;
        if (lead == 0xE0 && p[1] < 0xA0) return 0;  // overlong
        if (lead == 0xED && p[1] > 0x9F) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (available < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) ||
            !is_continuation(p[3]))
            return 0;
        if (lead == 0xF0 && p[1] < 0x90) return 0;  // overlong
        if (lead == 0xF4 && p[1] > 0x8F) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
#if defined(__SSE2__)
        // Gene-tree files are almost all ASCII: check sixteen bytes at a time, then eight.
        if (remaining >= 16 &&
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) {
            p += 16;
            remaining -= 16;
            continue;
        }
#endif
        if (remaining >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                remaining -= 8;
                continue;
            }
        }
        if (*p < 0x80) {
            ++p;
            --remaining;
            continue;
        }
        const std::size_t length = multibyte_length(p, remaining);
        if (length == 0) return false;
        p += length;
        remaining -= length;
    }
    return true;
}

}  // namespace treetally

namespace treetally {

std::size_t first_invalid_utf8_byte(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (p[at] < 0x80) {
            ++at;
            continue;
        }
        const std::size_t length = multibyte_length(p + at, bytes.size() - at);
        if (length == 0) return at;
        at += length;
    }
    return bytes.size();
}

}  // namespace treetally
