#include "tables/quartet_tests.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "tables/quartet_formulas.hpp"

namespace treetally {

namespace {

using Wide = WideCount;

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

int bit_width(Wide value) {
    const auto high = static_cast<std::uint64_t>(value >> 64);
    if (high != 0) return 64 + static_cast<int>(std::bit_width(high));
    return static_cast<int>(std::bit_width(static_cast<std::uint64_t>(value)));
}

// x ** 2 as Python computes it for a float: with the C library's pow, which now and then
// rounds differently from x * x. The exponent is read through a volatile so that the compiler
// cannot turn the call into x * x.
double python_square(double x) {
    volatile double two = 2.0;
    return std::pow(x, two);
}

}  // namespace

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

namespace {

double chi_square_p(double statistic, double degrees) {
    if (!(statistic > 0)) return 1.0;
    return degrees == 1.0 ? std::erfc(std::sqrt(statistic / 2.0)) : std::exp(-statistic / 2.0);
}

}  // namespace

// With a = A/3 and b = B/3: (b - a)^2 / (a + b) = (B - A)^2 / (3 (A + B)).
ChiSquareValues minor_equal_test_thirds(std::span<const std::uint64_t, 3> thirds) {
    std::array<std::uint64_t, 3> sorted;
    std::copy(thirds.begin(), thirds.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.end());
    const Wide sum = Wide{sorted[0]} + sorted[1];
    if (sum == 0) return {not_a_number, not_a_number};
    const Wide difference = sorted[1] - sorted[0];
    const double statistic = exact_quotient(difference * difference, 3 * sum);
    return {statistic, chi_square_p(statistic, 1.0)};
}

// With counts C/3 and total T/3, expected T/9 each: sum of (3C - T)^2 / (9 T).
ChiSquareValues star_test_thirds(std::span<const std::uint64_t, 3> thirds) {
    const Wide total = Wide{thirds[0]} + thirds[1] + thirds[2];
    if (total == 0) return {not_a_number, not_a_number};
    Wide squares = 0;
    for (const std::uint64_t third : thirds) {
        const Wide scaled = 3 * Wide{third};
        const Wide difference = scaled > total ? scaled - total : total - scaled;
        squares += difference * difference;
    }
    const double statistic = exact_quotient(squares, 9 * total);
    return {statistic, chi_square_p(statistic, 2.0)};
}

QuartetTests quartet_tests(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                           bool spread) {
    if (!spread || unresolved == 0) return {minor_equal_test(counts), star_test(counts)};
    const std::array<std::uint64_t, 3> thirds = spread_thirds(counts, unresolved);
    return {minor_equal_test_thirds(thirds), star_test_thirds(thirds)};
}

QuartetTests quartet_tests(std::span<const double, 3> counts, double unresolved, bool spread) {
    QuartetTests tests{{not_a_number, not_a_number}, {not_a_number, not_a_number}};
    if (spread && unresolved > 0.0) {
        // In thirds of a tree, as the whole counts' tests are: whole shares then give the same
        // values to the bit.
        std::array<double, 3> thirds{3.0 * counts[0] + unresolved, 3.0 * counts[1] + unresolved,
                                     3.0 * counts[2] + unresolved};
        std::array<double, 3> sorted = thirds;
        std::sort(sorted.begin(), sorted.end());
        if (const double minor = sorted[0] + sorted[1]; minor > 0.0) {
            const double difference = sorted[1] - sorted[0];
            const double statistic = difference * difference / (3.0 * minor);
            tests.minor_equal = {statistic, chi_square_p(statistic, 1.0)};
        }
        const double total = thirds[0] + thirds[1] + thirds[2];
        if (total > 0.0) {
            double squares = 0.0;
            for (const double third : thirds) squares += (3.0 * third - total) * (3.0 * third - total);
            const double statistic = squares / (9.0 * total);
            tests.star = {statistic, chi_square_p(statistic, 2.0)};
        }
        return tests;
    }
    std::array<double, 3> sorted{counts[0], counts[1], counts[2]};
    std::sort(sorted.begin(), sorted.end());
    if (const double minor = sorted[0] + sorted[1]; minor > 0.0) {
        const double difference = sorted[1] - sorted[0];
        const double statistic = difference * difference / minor;
        tests.minor_equal = {statistic, chi_square_p(statistic, 1.0)};
    }
    const double total = counts[0] + counts[1] + counts[2];
    if (total > 0.0) {
        const double expected = total / 3.0;
        double sum = 0.0;
        for (const double count : counts) sum += python_square(count - expected);
        const double statistic = sum / expected;
        tests.star = {statistic, chi_square_p(statistic, 2.0)};
    }
    return tests;
}

}  // namespace treetally
