// The arithmetic of a table row's shares and the two chi-square tests on a quartet's counts,
// done as Python does it (one rounding of int / int, pow for squares), so that every value the
// engine writes equals what Python would compute from the same counts, to the bit.
#pragma once

#include <cstdint>
#include <span>

namespace treetally {

// __extension__ keeps -Wpedantic quiet about __int128, and it takes a typedef, not a using.
__extension__ typedef unsigned __int128 WideCount;  // NOLINT(modernize-use-using)

// numerator / denominator (> 0) rounded once to nearest, ties to even: Python's int / int.
double exact_quotient(WideCount numerator, WideCount denominator);

struct ChiSquareValues {
    double statistic;
    double p_value;
};

// Whether the two smallest of three quartet counts, a <= b, are equal: (a - b)^2 / (a + b)
// with 1 degree of freedom, p = erfc(sqrt(x / 2)) (1.0 when x is 0); NaN, NaN when a + b is 0.
ChiSquareValues minor_equal_test(std::span<const std::uint64_t, 3> counts);

// Whether the three counts are equal: sum of (count - e)^2 / e with e = total / 3.0, summed in
// order, 2 degrees of freedom, p = exp(-x / 2) (1.0 when x is 0); NaN, NaN when total is 0.
ChiSquareValues star_test(std::span<const std::uint64_t, 3> counts);

// Both tests on counts given in thirds of a tree (spread_thirds): the statistic of the counts
// divided by three, each found with one rounding from whole numbers.
ChiSquareValues minor_equal_test_thirds(std::span<const std::uint64_t, 3> thirds);
ChiSquareValues star_test_thirds(std::span<const std::uint64_t, 3> thirds);

// A quartet's two tests as a table row reports them: on its counts, or with `spread` on its
// counts with the unresolved trees spread a third to each topology (the counts alone when
// none is unresolved, so that such rows are the same either way).
struct QuartetTests {
    ChiSquareValues minor_equal;
    ChiSquareValues star;
};
QuartetTests quartet_tests(std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved,
                           bool spread);

// Both tests on counts that may be fractional (a species quartet's shares of trees), by the
// same formulas in floating point; with `spread` the unresolved share adds a third to each.
QuartetTests quartet_tests(std::span<const double, 3> counts, double unresolved, bool spread);

}  // namespace treetally
