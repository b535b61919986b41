// Rows of a table as text, checked against what Python writes for the same values: repr() of
// floats, the two chi-square tests of treetally_tools.coalescent, csv.writer and json.dumps.
// The expected texts were written once by CPython 3.11 from the same values.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/fatal_error.hpp"
#include "tables/quartet_formulas.hpp"
#include "tables/quartet_tests.hpp"
#include "tables/table_text.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

std::string repr_of(double value) {
    std::string out;
    append_python_repr(out, value);
    return out;
}

struct ReprCase {
    std::uint64_t bits;  // the double's bits, so that every case is exact
    const char* text;
};

const ReprCase repr_cases[] = {
    {4591870180066957722ull, "0.1"},
    {4599676419421066581ull, "0.3333333333333333"},
    {4846369599423283200ull, "1e+16"},
    {4846369599423283199ull, "9999999999999998.0"},
    {4532020583610935537ull, "1e-05"},
    {4547007122018943789ull, "0.0001"},
    {4728057454347157504ull, "123456789.0"},
    {1ull, "5e-324"},
    {9218868437227405311ull, "1.7976931348623157e+308"},
    {9223372036854775808ull, "-0.0"},
    {0ull, "0.0"},
    {4607182418800017408ull, "1.0"},
    {4936209963552724370ull, "1e+22"},
    {4503760093363242389ull, "1.2345678901234566e-07"},
    {13686771371230025365ull, "-2.5e-10"},
    {9221120237041090560ull, "nan"},
    {9218868437227405312ull, "inf"},
    {18442240474082181120ull, "-inf"},
    {4616583683022153318ull, "4.35"},
    {4890909195324358656ull, "9.223372036854776e+18"},
    {4862596447618666293ull, "1.2345678901234568e+17"},
};

TEST(TableTextRepr, MatchesPythonRepr) {
    for (const ReprCase& c : repr_cases)
        EXPECT_EQ(repr_of(std::bit_cast<double>(c.bits)), c.text) << c.text;
}

// Any double: the text reads back as the same value, and a fixed-notation text is one in
// range; the digits themselves are checked by the table above.
TEST(TableTextRepr, EveryTextReadsBackAsItsValue) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 200000; ++i) {
        const double value = std::bit_cast<double>(rng());
        if (std::isnan(value)) continue;
        const std::string text = repr_of(value);
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        const bool fixed = text.find('e') == std::string::npos && !std::isinf(value);
        const double size = std::abs(value);
        ASSERT_EQ(fixed, size == 0 || (size >= 1e-4 && size < 1e16)) << text;
        if (fixed) {
            ASSERT_NE(text.find('.'), std::string::npos) << text;
        }
    }
}

struct ChiCase {
    std::array<std::uint64_t, 3> counts;
    const char* minor_statistic;
    const char* minor_p;
    const char* star_statistic;
    const char* star_p;
};

// Includes counts whose star statistic depends on squaring with pow() rather than x * x, and
// minor counts whose squared difference is past 2^53, where only an exact division agrees.
const ChiCase chi_cases[] = {
    {{5, 2, 1},
     "0.3333333333333333",
     "0.563702861650773",
     "3.2500000000000004",
     "0.196911675204194"},
    {{0, 0, 0}, "nan", "nan", "nan", "nan"},
    {{7, 7, 7}, "0.0", "1.0", "0.0", "1.0"},
    {{3, 0, 0}, "nan", "nan", "6.0", "0.049787068367863944"},
    {{68843, 91359, 36062}, "10243.496125065536", "0.0", "23638.17320547833", "0.0"},
    {{4611686018427387904, 2305843009213706297, 5},
     "2.305843009213706e+18",
     "0.0",
     "4.6116860184273797e+18",
     "0.0"},
    {{850114992675, 208460025899, 999999999999},
     "388938987945.2631",
     "0.0",
     "515270093553.5224",
     "0.0"},
};

TEST(TableTextChiSquare, MatchesPythonsTests) {
    for (const ChiCase& c : chi_cases) {
        const ChiSquareValues minor = minor_equal_test(c.counts);
        const ChiSquareValues star = star_test(c.counts);
        EXPECT_EQ(repr_of(minor.statistic), c.minor_statistic) << c.counts[0];
        EXPECT_EQ(repr_of(minor.p_value), c.minor_p) << c.counts[0];
        EXPECT_EQ(repr_of(star.statistic), c.star_statistic) << c.counts[0];
        EXPECT_EQ(repr_of(star.p_value), c.star_p) << c.counts[0];
    }
}

// Unresolved trees spread a third to each topology: the statistics of the spread counts, each
// rounded once; a row without unresolved trees as if none were spread.
TEST(TableTextChiSquare, SpreadCountsTestedInThirds) {
    const std::array<std::uint64_t, 3> counts{3, 1, 0};
    const QuartetTests spread = quartet_tests(counts, 2, true);  // 11/3, 5/3, 2/3
    EXPECT_EQ(spread.minor_equal.statistic, 3.0 / 7.0);        // (5/3 - 2/3)^2 / (7/3)
    EXPECT_EQ(spread.minor_equal.p_value, std::erfc(std::sqrt(3.0 / 7.0 / 2.0)));
    EXPECT_EQ(spread.star.statistic, 7.0 / 3.0);  // ((5/3)^2 + (1/3)^2 + (4/3)^2) / 2
    EXPECT_EQ(spread.star.p_value, std::exp(-7.0 / 3.0 / 2.0));
    const QuartetTests dropped = quartet_tests(counts, 2, false);
    EXPECT_EQ(dropped.star.statistic, star_test(counts).statistic);
    for (const ChiCase& c : chi_cases) {
        if (c.counts[0] > (std::uint64_t{1} << 40)) continue;
        const QuartetTests same = quartet_tests(c.counts, 0, true);
        EXPECT_EQ(repr_of(same.minor_equal.statistic), c.minor_statistic);
        EXPECT_EQ(repr_of(same.star.statistic), c.star_statistic);
    }
    const QuartetTests none = quartet_tests(std::array<std::uint64_t, 3>{0, 0, 0}, 5, true);
    EXPECT_EQ(none.minor_equal.statistic, 0.0);
    EXPECT_EQ(none.star.p_value, 1.0);
    // Large counts, away from overflow: the thirds' statistic is the raw one divided by 3.
    const std::array<std::uint64_t, 3> large{300000000000, 200000000000, 100000000000};
    EXPECT_DOUBLE_EQ(minor_equal_test_thirds(large).statistic, minor_equal_test(large).statistic / 3.0);
    EXPECT_DOUBLE_EQ(star_test_thirds(large).statistic, star_test(large).statistic / 3.0);
    const std::array<std::uint64_t, 3> huge{std::uint64_t{1} << 60, 1, 1};
    EXPECT_THROW(quartet_tests(huge, 1, true), FatalError);
    EXPECT_NO_THROW(quartet_tests(huge, 1, false));
}

// Taxa a, "b,c", d"q, é and "e e", rendered as the csv and json modules render them.
const std::vector<std::string> csv_cells = {"a", "\"b,c\"", "\"d\"\"q\"", "\xc3\xa9", "e e"};
const std::vector<std::string> json_cells = {"\"a\"", "\"b,c\"", "\"d\\\"q\"", "\"\\u00e9\"",
                                             "\"e e\""};

// One row of a block: its taxa, counts and holding.
struct Row {
    std::vector<std::uint32_t> taxa;
    std::vector<std::uint64_t> counts;
    std::uint64_t holding;
};

// Resolved, unresolved, none at all, one count only and large counts.
const std::vector<Row> quartet_rows = {{{0, 1, 2, 3}, {5, 2, 1}, 9},
                                       {{0, 1, 2, 4}, {0, 0, 0}, 3},
                                       {{0, 1, 3, 4}, {7, 7, 7}, 21},
                                       {{0, 2, 3, 4}, {3, 0, 0}, 3},
                                       {{1, 2, 3, 4}, {68843, 91359, 36062}, 196264}};
const std::vector<Row> quintet_rows = {
    {{0, 1, 2, 3, 4}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 200},
    {{4, 3, 2, 1, 0}, std::vector<std::uint64_t>(15), 2}};

// Rows [from, to) of `rows` as one block.
TableBlock block_of(const std::vector<Row>& rows, std::size_t from, std::size_t to) {
    TableBlock block;
    block.size = static_cast<int>(rows[0].taxa.size());
    block.first_row = from;
    block.rows = to - from;
    for (std::size_t r = from; r < to; ++r) {
        const Row& row = rows[r];
        block.taxa.insert(block.taxa.end(), row.taxa.begin(), row.taxa.end());
        block.counts.insert(block.counts.end(), row.counts.begin(), row.counts.end());
        block.holding.push_back(row.holding);
        block.unresolved.push_back(row.holding -
                                   std::accumulate(row.counts.begin(), row.counts.end(), 0ull));
    }
    return block;
}

TableBlock block_of(const std::vector<Row>& rows) {
    return block_of(rows, 0, rows.size());
}

const std::string quartet_csv =
    R"(a,"b,c","d""q",é,5,2,1,9,1,0.625,0.25,0.125,0.3333333333333333,0.563702861650773,3.2500000000000004,0.196911675204194)"
    "\n"
    R"(a,"b,c","d""q",e e,0,0,0,3,3,,,,,,,)"
    "\n"
    R"(a,"b,c",é,e e,7,7,7,21,0,0.3333333333333333,0.3333333333333333,0.3333333333333333,0.0,1.0,0.0,1.0)"
    "\n"
    R"(a,"d""q",é,e e,3,0,0,3,0,1.0,0.0,0.0,,,6.0,0.049787068367863944)"
    "\n"
    R"("b,c","d""q",é,e e,68843,91359,36062,196264,0,0.3507673337952961,0.4654903599233685,0.18374230628133534,10243.496125065536,0.0,23638.17320547833,0.0)"
    "\n";
const std::string quartet_json =
    R"([)"
    "\n"
    R"({"taxa": ["a", "b,c", "d\"q", "\u00e9"], "counts": [5, 2, 1], "holding": 9, "unresolved": 1, "concordance": [0.625, 0.25, 0.125], "minor_equal_chi2": 0.3333333333333333, "minor_equal_p": 0.563702861650773, "star_chi2": 3.2500000000000004, "star_p": 0.196911675204194},)"
    "\n"
    R"({"taxa": ["a", "b,c", "d\"q", "e e"], "counts": [0, 0, 0], "holding": 3, "unresolved": 3, "concordance": [null, null, null], "minor_equal_chi2": null, "minor_equal_p": null, "star_chi2": null, "star_p": null},)"
    "\n"
    R"({"taxa": ["a", "b,c", "\u00e9", "e e"], "counts": [7, 7, 7], "holding": 21, "unresolved": 0, "concordance": [0.3333333333333333, 0.3333333333333333, 0.3333333333333333], "minor_equal_chi2": 0.0, "minor_equal_p": 1.0, "star_chi2": 0.0, "star_p": 1.0},)"
    "\n"
    R"({"taxa": ["a", "d\"q", "\u00e9", "e e"], "counts": [3, 0, 0], "holding": 3, "unresolved": 0, "concordance": [1.0, 0.0, 0.0], "minor_equal_chi2": null, "minor_equal_p": null, "star_chi2": 6.0, "star_p": 0.049787068367863944},)"
    "\n"
    R"({"taxa": ["b,c", "d\"q", "\u00e9", "e e"], "counts": [68843, 91359, 36062], "holding": 196264, "unresolved": 0, "concordance": [0.3507673337952961, 0.4654903599233685, 0.18374230628133534], "minor_equal_chi2": 10243.496125065536, "minor_equal_p": 0.0, "star_chi2": 23638.17320547833, "star_p": 0.0})"
    "\n"
    R"(])"
    "\n";
const std::string quintet_csv =
    R"(a,"b,c","d""q",é,e e,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,200,95,0.0,0.009523809523809525,0.01904761904761905,0.02857142857142857,0.0380952380952381,0.047619047619047616,0.05714285714285714,0.06666666666666667,0.0761904761904762,0.08571428571428572,0.09523809523809523,0.10476190476190476,0.11428571428571428,0.12380952380952381,0.13333333333333333)"
    "\n"
    R"(e e,é,"d""q","b,c",a,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,2,2,,,,,,,,,,,,,,,)"
    "\n";
const std::string quintet_json =
    R"([)"
    "\n"
    R"({"taxa": ["a", "b,c", "d\"q", "\u00e9", "e e"], "counts": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14], "holding": 200, "unresolved": 95, "concordance": [0.0, 0.009523809523809525, 0.01904761904761905, 0.02857142857142857, 0.0380952380952381, 0.047619047619047616, 0.05714285714285714, 0.06666666666666667, 0.0761904761904762, 0.08571428571428572, 0.09523809523809523, 0.10476190476190476, 0.11428571428571428, 0.12380952380952381, 0.13333333333333333]},)"
    "\n"
    R"({"taxa": ["e e", "\u00e9", "d\"q", "b,c", "a"], "counts": [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], "holding": 2, "unresolved": 2, "concordance": [null, null, null, null, null, null, null, null, null, null, null, null, null, null, null]})"
    "\n"
    R"(])"
    "\n";

TEST(TableTextRows, CsvLinesAreThoseOfPythonsCsvWriter) {
    std::string out;
    append_csv_rows(out, block_of(quartet_rows), csv_cells);
    EXPECT_EQ(out, quartet_csv);
    out.clear();
    append_csv_rows(out, block_of(quintet_rows), csv_cells);
    EXPECT_EQ(out, quintet_csv);
}

// Written in blocks, with the list's brackets around them, the records make the JSON list that
// treetally_tools.output.write_json_list writes, however the rows are split.
TEST(TableTextRows, JsonRecordsInBlocksMakePythonsJsonList) {
    const std::size_t rows = quartet_rows.size();
    for (std::size_t split = 0; split <= rows; ++split) {
        std::string out = "[";
        append_json_rows(out, block_of(quartet_rows, 0, split), json_cells, true);
        append_json_rows(out, block_of(quartet_rows, split, rows), json_cells, split == 0);
        EXPECT_EQ(out + "\n]\n", quartet_json) << split;
    }
    std::string out = "[";
    append_json_rows(out, block_of(quintet_rows), json_cells, true);
    EXPECT_EQ(out + "\n]\n", quintet_json);
}

TEST(TableTextRows, MalformedBlockIsAFatalError) {
    TableBlock short_counts = block_of(quartet_rows);
    short_counts.counts.pop_back();
    TableBlock unknown_taxon = block_of(quartet_rows);
    unknown_taxon.taxa[3] = 5;
    for (const TableBlock& block : {short_counts, unknown_taxon}) {
        std::string out;
        EXPECT_NE(test::fatal_message_of([&] { append_csv_rows(out, block, csv_cells); }),
                  "<no fatal error>");
        EXPECT_NE(test::fatal_message_of([&] { append_json_rows(out, block, json_cells, true); }),
                  "<no fatal error>");
        EXPECT_EQ(out, "");
    }
}

}  // namespace
}  // namespace treetally
