#include <cctype>
#include <charconv>
#include <cmath>
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

std::optional<double> special_value(std::string_view word) {
    if (equals_ignoring_case(word, "inf") || equals_ignoring_case(word, "infinity"))
        return std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(word, "nan")) return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
}

}  // namespace

std::optional<double> parse_branch_length(std::string_view text) {
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

}  // namespace treetally
