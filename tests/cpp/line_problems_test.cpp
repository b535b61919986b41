// Tests of the problems the reader reports to its sink: each kind on crafted lines, in the
// order of the kinds, the details' places and quoting, the loader's part (lines that are not
// UTF-8, numbering, a load that fails as before) and that a read with a sink builds the tree a
// read without one builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "test_support.hpp"
#include "tree/line_problems.hpp"
#include "tree/newick_reader.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

using Found = std::vector<std::pair<std::string, std::string>>;  // kind name, detail

Found problems_of(std::string_view line) {
    Found found;
    check_line(line, [&](LineProblem kind, std::string_view detail) {
        found.emplace_back(std::string(line_problem_name(kind)), std::string(detail));
    });
    return found;
}

std::vector<std::string> kinds_of(std::string_view line) {
    std::vector<std::string> kinds;
    for (const auto& [kind, detail] : problems_of(line)) kinds.push_back(kind);
    return kinds;
}

struct KindCase {
    const char* name;
    std::string line;
    std::vector<std::string> kinds;
};

void PrintTo(const KindCase& c, std::ostream* os) {
    *os << c.name;
}

class SinkKinds : public testing::TestWithParam<KindCase> {};

TEST_P(SinkKinds, ReportsEachKindOnceInOrder) {
    EXPECT_EQ(kinds_of(GetParam().line), GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SinkKinds,
    testing::Values(
        KindCase{"Clean", "((A,B),C);", {}},
        KindCase{"CleanWithEverything", "(A:1e-3,B:.5,C:+2,D:inf,E:NaN)90:0.1[&x [y]];  \r", {}},
        KindCase{"Empty", "", {"empty line"}},
        KindCase{"Blanks", " \t\r ", {"empty line"}},
        KindCase{"NotUtf8", "(A,\xff);", {"not UTF-8"}},
        KindCase{"Surrogate", "(A,\xed\xa0\x80);", {"not UTF-8"}},
        KindCase{"SpaceEndsNoLength", "(A:1.0 ,B);", {"bad branch length"}},
        KindCase{"TwoColons", "(A:1:2,B);", {"bad branch length"}},
        KindCase{"NegativeLength", "((A:-1,B):-2,C);", {"negative branch length"}},
        KindCase{"NegativeInfinity", "(A:-inf,B);", {"negative branch length"}},
        KindCase{"NegativeZeroAndNanAreNot", "(A:-0,B:-nan,C:0);", {}},
        KindCase{"NegativeRootLengthIsNoBranch", "(A:1,B:1):-3;", {}},
        KindCase{"NegativeBesideBad", "(A:-1,B:x);", {"bad branch length", "negative branch length"}},
        KindCase{"CloseWithoutOpen", "(A,B));", {"unbalanced brackets"}},
        KindCase{"OpenNeverClosed", "(A,(B,C);", {"unbalanced brackets"}},
        KindCase{"OpenInsideLabel", "(A(B,C));", {"unbalanced brackets"}},
        KindCase{"TabStartsALabel", "\t(A,B);", {"unbalanced brackets"}},
        KindCase{"CloseSquareInLabel", "(A],B);", {"unbalanced brackets"}},
        KindCase{"CommentNeverClosed", "(A,B)[open;", {"unbalanced brackets", "missing ';'"}},
        KindCase{"SecondTree", "(A,B);(C,D);", {"text after ';'"}},
        KindCase{"NoSemicolon", "(A,B)", {"missing ';'"}},
        KindCase{"OnlyCommas", "(,);", {"no taxa"}},
        KindCase{"OnlySemicolon", ";", {"no taxa"}},
        KindCase{"RootLabelIsNoTaxon", "(A,B)X;", {}},
        KindCase{"Repeated", "((A,B),(A,C));", {"repeated taxon"}},
        KindCase{"InternalLabelLikeATaxon", "((A,B)A,C);", {}},
        KindCase{"Many", "((A:x,A),B",
                 {"bad branch length", "unbalanced brackets", "missing ';'", "repeated taxon"}}));

TEST(SinkDetails, NameThePlaceInCharactersAndQuoteAsPythonDoes) {
    EXPECT_EQ(problems_of("(ä,B));"),
              (Found{{"unbalanced brackets", "')' at column 6 closes no '('"}}));
    EXPECT_EQ(problems_of("(A:1x,B);"),
              (Found{{"bad branch length", "the branch length '1x' at column 4 is not a number"}}));
    EXPECT_EQ(problems_of("(A:1,B:-0.25);"),
              (Found{{"negative branch length",
                      "the branch length '-0.25' at column 8 is below zero"}}));
    EXPECT_EQ(problems_of("(A,B); it's\t"),
              (Found{{"text after ';'", "\"it's\" follows the ';' at column 6 and is not read"}}));
    EXPECT_EQ(problems_of("(A\x01\\,A\x01\\);"),
              (Found{{"repeated taxon", "a taxon on more than one leaf: 'A\\x01\\\\'"}}));
    EXPECT_EQ(problems_of("(A,(B,C;"), (Found{{"unbalanced brackets", "2 '(' never closed"}}));
    EXPECT_EQ(problems_of("(A,\xff);"), (Found{{"not UTF-8", "byte 4 of the line is not UTF-8 text"}}));
    const std::string long_label(50, 'x');
    EXPECT_EQ(problems_of("(A:" + long_label + ",B);")[0].second,
              "the branch length '" + std::string(40, 'x') + "...' at column 4 is not a number");
    EXPECT_EQ(problems_of("((A,A),(B,B),(C,C),(D,D),(E,E),(F,F));")[0].second,
              "6 taxa on more than one leaf: 'A', 'B', 'C', 'D', 'E' ...");
}

TEST(SinkReading, BuildsTheTreeOfTheUsualReading) {
    for (const std::string text : {"((A:1,B:2)90:3,(C,D)[c]);", "(A,(B,C);x", "((A,B),(A,C));"}) {
        TaxonSet plain_taxa;
        TaxonSet checked_taxa;
        Tree plain;
        Tree checked;
        parse_newick_tree_into(text, plain_taxa, plain);
        parse_newick_tree_into(text, checked_taxa, checked, std::nullopt, {},
                               [](LineProblem, std::string_view) {});
        EXPECT_EQ(test::to_vector(plain.parents()), test::to_vector(checked.parents())) << text;
        EXPECT_EQ(test::to_vector(plain.node_taxons()), test::to_vector(checked.node_taxons()));
        EXPECT_TRUE(std::ranges::equal(plain.branch_lengths(), checked.branch_lengths()));
        EXPECT_EQ(plain_taxa.taxon_names(), checked_taxa.taxon_names());
    }
}

TEST(SinkReading, ReadsPastALengthThatIsNoNumberWhichTheUsualReaderRefuses) {
    TaxonSet taxa;
    EXPECT_EQ(test::fatal_message_of([&] { parse_newick_tree("(A:x,B);", taxa); }),
              messages::invalid_float);
    EXPECT_EQ(line_taxa("(A:x,(B,A));"), (std::vector<std::string>{"A", "B", "A"}));
}

// A file of `text` in the test's scratch folder, removed with the object.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& text)
        : path_(testing::TempDir() + "line_problems_" +
                testing::UnitTest::GetInstance()->current_test_info()->name() + ".tre") {
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

using Numbered = std::vector<std::pair<std::size_t, std::string>>;

TEST(FileCheck, NumbersTheLinesAndPassesOverWhatALoadRefuses) {
    const ScratchFile file("(A,B);\r\n\n(A,\xff);\n(A:x,B);\n(C,C);\n(D,E)");
    Numbered found;
    const auto lines = check_tree_file(
        file.path(),
        [&](std::size_t line, LineProblem kind, std::string_view) {
            found.emplace_back(line, std::string(line_problem_name(kind)));
        },
        std::size_t{1} << 30);
    ASSERT_TRUE(std::holds_alternative<std::size_t>(lines));
    EXPECT_EQ(std::get<std::size_t>(lines), 6U);
    EXPECT_EQ(found, (Numbered{{2, "empty line"},
                               {3, "not UTF-8"},
                               {4, "bad branch length"},
                               {5, "repeated taxon"},
                               {6, "missing ';'"}}));
}

TEST(FileCheck, ALineOverTheCapStopsTheCheckByItsNumber) {
    const ScratchFile file("(A,B);\n(" + std::string(100, 'x') + ",B);\n");
    EXPECT_EQ(test::fatal_message_of([&] {
                  (void)check_tree_file(file.path(), [](std::size_t, LineProblem, std::string_view) {},
                                        std::size_t{1} << 30, {}, 50);
              }),
              messages::line_too_long(2, 50));
}

TEST(FileCheck, ALoadWithASinkFailsAsWithout) {
    for (const auto& [text, failure] :
         std::vector<std::pair<std::string, std::string>>{{"(A,B);\n(A:x,A);\n", "float"},
                                                          {"(A,B);\n(A,\xff);\n", "utf8"}}) {
        const ScratchFile file(text);
        TaxonSet taxa;
        Numbered found;
        const TreeSink drop = [](Tree&&) { return std::size_t{0}; };
        const NumberedProblemSink sink = [&](std::size_t line, LineProblem kind, std::string_view) {
            found.emplace_back(line, std::string(line_problem_name(kind)));
        };
        if (failure == "float") {
            EXPECT_EQ(test::fatal_message_of([&] {
                          (void)read_tree_file(file.path(), taxa, drop, std::size_t{1} << 30, {}, {},
                                               std::nullopt, sink);
                      }),
                      messages::invalid_float);
            // The line's other problems come first, all of them.
            EXPECT_EQ(found, (Numbered{{2, "bad branch length"}, {2, "repeated taxon"}}));
        } else {
            const auto error = read_tree_file(file.path(), taxa, drop, std::size_t{1} << 30, {}, {},
                                              std::nullopt, sink);
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message, messages::error_reading_file);
            EXPECT_EQ(found, (Numbered{{2, "not UTF-8"}}));
        }
    }
}

}  // namespace
}  // namespace treetally
