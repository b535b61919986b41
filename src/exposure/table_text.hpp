// Rows of an all-quartet or all-quintet table written as text exactly as Python's csv and
// json modules write the same values: floats as repr() gives them, the two chi-square tests
// with Python's arithmetic, so that a table written here matches one written from Python.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "exposure/table_block.hpp"

namespace treetally {

// Python's repr() of a double: the shortest text that reads back as the same value, in fixed
// notation for 1e-4 <= |value| < 1e16 (with ".0" when integral), else as d.ddde+XX with at
// least two exponent digits; "nan", "inf", "-inf", "0.0", "-0.0".
void append_python_repr(std::string& out, double value);

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

// Appends one CSV line per row of `block`, as csv.writer(lineterminator="\n") writes it: the
// taxon cells, the counts, holding, unresolved, each count's share of the resolved trees, and
// for quartets the statistic and p-value of minor_equal_test and of star_test. A NaN is an
// empty cell. `taxon_cells[k]` is the cell of the table's taxon k, already quoted as needed.
void append_csv_rows(std::string& out, const TableBlock& block,
                     std::span<const std::string> taxon_cells);

// Appends one JSON record per row of `block`, each on its own line and written as json.dumps
// writes it, with the keys "taxa", "counts", "holding", "unresolved", "concordance" and for
// quartets "minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"; a value that is not a
// finite number is null. Each record is preceded by ",\n", but the first of the first block
// by "\n": with "[" before the first block and "\n]\n" after the last ("]\n" when there are
// no rows at all) the text is a JSON list. `taxon_cells[k]` is taxon k as a JSON string.
void append_json_rows(std::string& out, const TableBlock& block,
                      std::span<const std::string> taxon_cells, bool first_block);

}  // namespace treetally
