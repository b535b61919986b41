// Taxon names crafted to collide in the name table's former hash, which was unseeded and
// invertible: the input that made loading quadratic. Shared by the tests and the bench tool.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace treetally::test {

// The former hash of a name, kept here only as the thing to invert: eight bytes at a time with
// one multiply each, then one final mix. The table took its slot from the low bits.
inline constexpr std::uint64_t former_multiplier = 0x9e3779b97f4a7c15ULL;
inline constexpr std::uint64_t former_mix_multiplier = 0xff51afd7ed558ccdULL;

inline std::uint64_t former_name_hash(const std::string& name) {
    const std::size_t size = name.size();
    std::uint64_t hash = size * former_multiplier;
    for (std::size_t k = 0; k < size; k += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, name.data() + k, size - k < 8 ? size - k : 8);
        hash = std::rotl((hash ^ word) * former_multiplier, 27);
    }
    hash ^= hash >> 33;
    hash *= former_mix_multiplier;
    return hash ^ (hash >> 33);
}

// The inverse of an odd number modulo 2^64 (Newton's iteration doubles the correct bits).
constexpr std::uint64_t inverse_of_odd(std::uint64_t odd) {
    std::uint64_t inverse = odd;
    for (int k = 0; k < 5; ++k) inverse *= 2 - odd * inverse;
    return inverse;
}

// The eight-byte word whose former hash is `hash`: every step of the hash undone in turn.
inline std::uint64_t former_preimage_of(std::uint64_t hash) {
    constexpr std::uint64_t mix_inverse = inverse_of_odd(former_mix_multiplier);
    constexpr std::uint64_t multiplier_inverse = inverse_of_odd(former_multiplier);
    hash ^= hash >> 33;
    hash *= mix_inverse;
    hash ^= hash >> 33;
    return (std::rotr(hash, 27) * multiplier_inverse) ^ (8 * former_multiplier);
}

// Bytes a name may use unquoted anywhere in a label: printable ASCII but for Newick's punctuation.
inline bool is_plain_label_byte(unsigned char byte) {
    constexpr std::string_view punctuation = "(),:;[]'";
    return byte > ' ' && byte < 0x7f &&
           punctuation.find(static_cast<char>(byte)) == punctuation.npos;
}

// Whether all eight bytes of `word` are plain label bytes; most words fail at the first.
inline bool is_plain_label_word(std::uint64_t word) {
    static const std::array<bool, 256> plain = [] {
        std::array<bool, 256> table{};
        for (int byte = 0; byte < 256; ++byte)
            table[byte] = is_plain_label_byte(static_cast<unsigned char>(byte));
        return table;
    }();
    for (int k = 0; k < 8; ++k)
        if (!plain[(word >> (8 * k)) & 0xff]) return false;
    return true;
}

// Bits of the former hash that all crafted names share: the slot of every table up to 2^20
// slots, so each new name probes past every earlier one.
inline constexpr int colliding_low_bits = 20;

// `count` distinct eight-byte names of plain label bytes whose former hashes agree in their
// low bits. Walks the hashes with those bits fixed and keeps the preimages that are plain text
// (about one in 6,000); distinct hashes give distinct names.
inline std::vector<std::string> names_colliding_in_former_hash(std::size_t count) {
    constexpr std::uint64_t shared_low_bits = 0x5a5a5;
    std::vector<std::string> names;
    names.reserve(count);
    for (std::uint64_t high = 1; names.size() < count; ++high) {
        const std::uint64_t word =
            former_preimage_of((high << colliding_low_bits) | shared_low_bits);
        if (!is_plain_label_word(word)) continue;
        std::string name(8, '\0');
        std::memcpy(name.data(), &word, 8);
        names.push_back(std::move(name));
    }
    return names;
}

}  // namespace treetally::test
