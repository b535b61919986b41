#include "exposure/table_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "tree/fatal_error.hpp"

namespace treetally {

namespace {

// __extension__ keeps -Wpedantic quiet about __int128, and it takes a typedef, not a using.
__extension__ typedef unsigned __int128 Wide;  // NOLINT(modernize-use-using)

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

void append_unsigned(std::string& out, std::uint64_t value) {
    std::array<char, 24> text;
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    out.append(text.data(), end);
}

int bit_width(Wide value) {
    const auto high = static_cast<std::uint64_t>(value >> 64);
    if (high != 0) return 64 + static_cast<int>(std::bit_width(high));
    return static_cast<int>(std::bit_width(static_cast<std::uint64_t>(value)));
}

// numerator / denominator (> 0) rounded once to nearest, ties to even: what Python's
// int / int gives. Small operands convert exactly, so one division rounds them correctly;
// larger ones are divided by hand to 55 bits or more, plus whether anything remains.
double exact_quotient(Wide numerator, Wide denominator) {
    if (numerator == 0) return 0.0;
    constexpr Wide exact_limit = Wide{1} << 53;
    if (numerator <= exact_limit && denominator <= exact_limit)
        return static_cast<double>(static_cast<std::uint64_t>(numerator)) /
               static_cast<double>(static_cast<std::uint64_t>(denominator));
    Wide quotient = numerator / denominator;
    Wide remainder = numerator % denominator;
    int exponent = 0;
    // The remainder stays below the denominator, below 2^66 here, so doubling cannot wrap.
    while (bit_width(quotient) < 55) {
        remainder <<= 1;
        quotient <<= 1;
        if (remainder >= denominator) {
            remainder -= denominator;
            quotient |= 1;
        }
        --exponent;
    }
    const int shift = bit_width(quotient) - 53;
    const Wide rest = quotient & ((Wide{1} << shift) - 1);
    const Wide half = Wide{1} << (shift - 1);
    auto kept = static_cast<std::uint64_t>(quotient >> shift);
    if (rest > half || (rest == half && (remainder != 0 || (kept & 1) != 0))) ++kept;
    return std::ldexp(static_cast<double>(kept), shift + exponent);
}

// x ** 2 as Python computes it for a float: with the C library's pow, which now and then
// rounds differently from x * x. The exponent is read through a volatile so that the compiler
// cannot turn the call into x * x.
double python_square(double x) {
    volatile double two = 2.0;
    return std::pow(x, two);
}

// One row's values beside its taxa: what both writers print.
struct RowValues {
    std::span<const std::uint64_t> counts;
    std::uint64_t holding;
    std::uint64_t unresolved;
    std::array<double, 15> concordance;
    std::array<double, 4> tests;  // quartets: minor_equal statistic and p, star statistic and p
};

// Checks that the block's columns have the lengths its row count and size call for, and
// that every taxon has a cell, before a row is read.
void check_block(const TableBlock& block, std::size_t taxon_cell_count) {
    if (block.size != 4 && block.size != 5) fail("A table row holds four or five taxa");
    const auto size = static_cast<std::size_t>(block.size);
    if (block.taxa.size() != block.rows * size ||
        block.counts.size() != block.rows * block.codes() || block.holding.size() != block.rows ||
        block.unresolved.size() != block.rows)
        fail("A table block's columns disagree with its row count");
    for (const std::uint32_t taxon : block.taxa) checked_index(taxon, taxon_cell_count);
}

RowValues values_of(const TableBlock& block, std::size_t row) {
    const std::size_t codes = block.codes();
    RowValues values{std::span(block.counts).subspan(row * codes, codes),
                     block.holding[row],
                     block.unresolved[row],
                     {},
                     {}};
    Wide resolved = 0;
    for (const std::uint64_t count : values.counts) resolved += count;
    for (std::size_t code = 0; code < codes; ++code) {
        values.concordance[code] =
            resolved == 0 ? not_a_number : exact_quotient(values.counts[code], resolved);
    }
    if (codes == 3) {
        const std::span<const std::uint64_t, 3> three(values.counts.data(), 3);
        const ChiSquareValues minor = minor_equal_test(three);
        const ChiSquareValues star = star_test(three);
        values.tests = {minor.statistic, minor.p_value, star.statistic, star.p_value};
    }
    return values;
}

std::span<const std::uint32_t> taxa_of(const TableBlock& block, std::size_t row) {
    const auto size = static_cast<std::size_t>(block.size);
    return std::span(block.taxa).subspan(row * size, size);
}

// A float cell of a CSV line: empty for NaN, as the csv writer is handed "" for it.
void append_csv_float(std::string& out, double value) {
    if (!std::isnan(value)) append_python_repr(out, value);
}

// A float of a JSON record: null where JSON has no number.
void append_json_float(std::string& out, double value) {
    if (std::isfinite(value))
        append_python_repr(out, value);
    else
        out += "null";
}

}  // namespace

void append_python_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // The shortest digits that read back as `value`, as "-d.ddde-XX".
    std::array<char, 32> text;
    const auto end =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific)
            .ptr;
    const std::string_view scientific(text.data(), static_cast<std::size_t>(end - text.data()));
    const std::size_t e_at = scientific.find('e');
    std::string_view mantissa = scientific.substr(0, e_at);
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits(1, mantissa.front());
    if (mantissa.size() > 2) digits.append(mantissa.substr(2));
    const std::string_view exponent_text = scientific.substr(e_at + 1);
    int exponent = 0;
    const char* exponent_start = exponent_text.data() + (exponent_text.front() == '+');
    std::from_chars(exponent_start, exponent_text.data() + exponent_text.size(), exponent);

    if (exponent < -4 || exponent >= 16) {
        out += digits.front();
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        append_unsigned(out, static_cast<std::uint64_t>(magnitude));
        return;
    }
    if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
        return;
    }
    const auto integral = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integral) {
        out.append(digits).append(integral - digits.size(), '0').append(".0");
        return;
    }
    out.append(digits, 0, integral).append(".").append(digits, integral);
}

ChiSquareValues minor_equal_test(std::span<const std::uint64_t, 3> counts) {
    std::array<std::uint64_t, 3> sorted;
    std::copy(counts.begin(), counts.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.end());
    const Wide sum = Wide{sorted[0]} + sorted[1];
    if (sum == 0) return {not_a_number, not_a_number};
    const Wide difference = sorted[1] - sorted[0];
    const double statistic = exact_quotient(difference * difference, sum);
    return {statistic, statistic > 0 ? std::erfc(std::sqrt(statistic / 2.0)) : 1.0};
}

ChiSquareValues star_test(std::span<const std::uint64_t, 3> counts) {
    const Wide total = Wide{counts[0]} + counts[1] + counts[2];
    if (total == 0) return {not_a_number, not_a_number};
    const double expected = static_cast<double>(total) / 3.0;
    double sum = 0.0;
    for (const std::uint64_t count : counts)
        sum += python_square(static_cast<double>(count) - expected);
    const double statistic = sum / expected;
    return {statistic, statistic > 0 ? std::exp(-statistic / 2.0) : 1.0};
}

void append_csv_rows(std::string& out, const TableBlock& block,
                     std::span<const std::string> taxon_cells) {
    check_block(block, taxon_cells.size());
    for (std::size_t row = 0; row < block.rows; ++row) {
        const RowValues values = values_of(block, row);
        const char* separator = "";
        for (const std::uint32_t taxon : taxa_of(block, row)) {
            out.append(separator).append(taxon_cells[taxon]);
            separator = ",";
        }
        for (const std::uint64_t count : values.counts) append_unsigned(out += ',', count);
        append_unsigned(out += ',', values.holding);
        append_unsigned(out += ',', values.unresolved);
        for (std::size_t code = 0; code < values.counts.size(); ++code)
            append_csv_float(out += ',', values.concordance[code]);
        if (values.counts.size() == 3) {
            for (const double value : values.tests) append_csv_float(out += ',', value);
        }
        out += '\n';
    }
}

void append_json_rows(std::string& out, const TableBlock& block,
                      std::span<const std::string> taxon_cells, bool first_block) {
    static constexpr std::array<const char*, 4> test_keys = {
        ", \"minor_equal_chi2\": ", ", \"minor_equal_p\": ", ", \"star_chi2\": ", ", \"star_p\": "};
    check_block(block, taxon_cells.size());
    for (std::size_t row = 0; row < block.rows; ++row) {
        const RowValues values = values_of(block, row);
        out += first_block && row == 0 ? "\n" : ",\n";
        out += "{\"taxa\": [";
        const char* separator = "";
        for (const std::uint32_t taxon : taxa_of(block, row)) {
            out.append(separator).append(taxon_cells[taxon]);
            separator = ", ";
        }
        out += "], \"counts\": [";
        separator = "";
        for (const std::uint64_t count : values.counts) {
            append_unsigned(out += separator, count);
            separator = ", ";
        }
        append_unsigned(out += "], \"holding\": ", values.holding);
        append_unsigned(out += ", \"unresolved\": ", values.unresolved);
        out += ", \"concordance\": [";
        separator = "";
        for (std::size_t code = 0; code < values.counts.size(); ++code) {
            append_json_float(out += separator, values.concordance[code]);
            separator = ", ";
        }
        out += ']';
        if (values.counts.size() == 3) {
            for (std::size_t k = 0; k < test_keys.size(); ++k)
                append_json_float(out += test_keys[k], values.tests[k]);
        }
        out += '}';
    }
}

}  // namespace treetally
