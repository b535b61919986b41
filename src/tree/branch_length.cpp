#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "tree/newick_reader.hpp"

namespace treetally {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (std::tolower(static_cast<unsigned char>(text[k])) != lower_word[k]) return false;
    }
    return true;
}

// The shape of a decimal number as the grammar admits it, located in the text.
struct DecimalShape {
    std::string_view integer_digits;
    std::string_view fraction_digits;
    long long exponent = 0;  // saturated, only used to tell overflow from underflow
};

// Parses digits [. digits] [e|E [sign] digits] covering the whole of `text`.
std::optional<DecimalShape> decimal_shape(std::string_view text) {
    DecimalShape shape;
    std::size_t i = 0;
    const std::size_t n = text.size();
    const std::size_t integer_start = i;
    while (i < n && is_digit(text[i])) ++i;
    shape.integer_digits = text.substr(integer_start, i - integer_start);
    if (i < n && text[i] == '.') {
        const std::size_t fraction_start = ++i;
        while (i < n && is_digit(text[i])) ++i;
        shape.fraction_digits = text.substr(fraction_start, i - fraction_start);
    }
    if (shape.integer_digits.empty() && shape.fraction_digits.empty()) return std::nullopt;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        const std::size_t exponent_start = i;
        long long exponent = 0;
        for (; i < n && is_digit(text[i]); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (i == exponent_start) return std::nullopt;
        shape.exponent = negative ? -exponent : exponent;
    }
    if (i != n) return std::nullopt;
    return shape;
}

// Whether a finite decimal whose conversion left the double range is too large (else too small).
bool overflows(const DecimalShape& shape) {
    const auto first_nonzero = shape.integer_digits.find_first_not_of('0');
    long long leading_power;
    if (first_nonzero != std::string_view::npos) {
        leading_power = static_cast<long long>(shape.integer_digits.size() - 1 - first_nonzero);
    } else {
        const auto fraction_nonzero = shape.fraction_digits.find_first_not_of('0');
        leading_power = -static_cast<long long>(fraction_nonzero) - 1;
    }
    return leading_power + shape.exponent > 0;
}

// Converts any text of the length grammar: special words, long digit strings, values that
// leave the double range; nullopt for text outside the grammar.
std::optional<double> parse_general_length(std::string_view text);

std::optional<double> special_value(std::string_view word) {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity"))
        return std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(word, "nan")) return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
}

// What one pass over a length text found: whether it is a plain decimal (sign, digits,
// optional point, optional exponent, nothing else) and, when the decimal is short, its value.
struct DecimalScan {
    bool plain = false;
    bool exact = false;  // `value` is the correctly rounded value of the text
    double value = 0.0;
};

constexpr std::array<double, 23> exact_powers_of_ten = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

const char* skip_zeros(const char* from, const char* to) {
    while (from != to && *from == '0') ++from;
    return from;
}

// The eight bytes at `p`, the first in the lowest byte.
std::uint64_t eight_bytes(const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
}

// Whether all eight bytes of `word` are ASCII digits: each byte's high nibble is 3, and adding
// 6 to it does not carry into the high nibble.
bool all_digits(std::uint64_t word) {
    constexpr std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
    return ((word & high_nibbles) | (((word + 0x0606060606060606ULL) & high_nibbles) >> 4)) ==
           0x3333333333333333ULL;
}

// The number written by eight ASCII digits, the first digit in the lowest byte: pairs, then
// quadruples, then the whole, with three multiplications instead of eight.
std::uint64_t eight_digits_value(std::uint64_t word) {
    word -= 0x3030303030303030ULL;
    word = (word * 10) + (word >> 8);
    word = (((word & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((word >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
    return word;
}

const char* skip_digits(const char* from, const char* to) {
    while (to - from >= 8 && all_digits(eight_bytes(from))) from += 8;
    while (from != to && is_digit(*from)) ++from;
    return from;
}

// `value` followed by the digits from `from` to `to` (at most 19 digits in all).
std::uint64_t digits_value(std::uint64_t value, const char* from, const char* to) {
    for (; to - from >= 8; from += 8)
        value = value * 100000000 + eight_digits_value(eight_bytes(from));
    for (; from != to; ++from) value = value * 10 + static_cast<std::uint64_t>(*from - '0');
    return value;
}

// Most branch lengths are short decimals such as 0.015227. When the digits form an integer
// w <= 2^53 and the decimal exponent e has |e| <= 22, both w and 10^|e| are exact doubles, so one
// IEEE multiplication or division gives the correctly rounded value (Clinger's fast path), the
// same bits as the general conversion, at a fraction of its cost.
DecimalScan scan_decimal(std::string_view text) {
    DecimalScan scan;
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* const integer_start = p;
    const char* const integer_end = p = skip_digits(p, end);
    const char* fraction_start = p;
    const char* fraction_end = p;
    if (p != end && *p == '.') {
        fraction_start = p + 1;
        fraction_end = p = skip_digits(fraction_start, end);
    }
    if (integer_start == integer_end && fraction_start == fraction_end) return scan;
    int exponent = 0;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool exponent_negative = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        const char* const exponent_start = p;
        for (; p != end && is_digit(*p) && p - exponent_start < 4; ++p)
            exponent = exponent * 10 + (*p - '0');
        if (p == exponent_start || p != end) return scan;
        if (exponent_negative) exponent = -exponent;
    }
    if (p != end) return scan;
    scan.plain = true;

    // The significant digits: from the first non-zero one, through the fraction.
    const char* const first_integer = skip_zeros(integer_start, integer_end);
    const char* const first_fraction =
        first_integer != integer_end ? fraction_start : skip_zeros(fraction_start, fraction_end);
    const auto significant = (integer_end - first_integer) + (fraction_end - first_fraction);
    if (significant > 19) return scan;  // the mantissa could overflow: the general path converts
    const std::uint64_t mantissa =
        digits_value(digits_value(0, first_integer, integer_end), first_fraction, fraction_end);
    const int scale = exponent - static_cast<int>(fraction_end - fraction_start);
    if (mantissa > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) return scan;
    const auto exact_mantissa = static_cast<double>(mantissa);
    const double value =
        scale < 0 ? exact_mantissa / exact_powers_of_ten[static_cast<std::size_t>(-scale)]
                  : exact_mantissa * exact_powers_of_ten[static_cast<std::size_t>(scale)];
    scan.exact = true;
    scan.value = negative ? -value : value;
    return scan;
}

}  // namespace

std::optional<double> parse_branch_length(std::string_view text) {
    const DecimalScan scan = scan_decimal(text);
    if (scan.exact) return scan.value;
    if (scan.plain) {
        // Validated already: convert directly; only an out-of-range value needs the general path.
        const bool negative = text[0] == '-';
        const std::size_t sign = text[0] == '+' || negative ? 1 : 0;
        double value = 0.0;
        const char* last = text.data() + text.size();
        const auto [end, error] =
            std::from_chars(text.data() + sign, last, value, std::chars_format::general);
        if (error == std::errc{} && end == last) return negative ? -value : value;
    }
    return parse_general_length(text);
}

namespace {
std::optional<double> parse_general_length(std::string_view text) {
    bool negative = false;
    std::string_view unsigned_text = text;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        unsigned_text.remove_prefix(1);
    }
    if (auto special = special_value(unsigned_text)) return negative ? -*special : *special;

    const auto shape = decimal_shape(unsigned_text);
    if (!shape) return std::nullopt;

    double value = 0.0;
    const char* first = unsigned_text.data();
    const char* last = first + unsigned_text.size();
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        value = overflows(*shape) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (error != std::errc{} || end != last) {
        return std::nullopt;
    }
    return negative ? -value : value;
}
}  // namespace

}  // namespace treetally
