// Tests of loading a tree file: one tree per line, line endings, byte-order mark, UTF-8
// checking, lines longer than the read buffer, the two error values, a cap on the length of a
// line, and the kind of each failure.
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/collapse_rule.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::shape_of;
using test::TempDir;
using Names = std::vector<std::string>;

// The collection from a load that must succeed (the test fails if it does not).
TreeCollection loaded(const std::string& path) {
    LoadResult result = load_tree_collection(path);
    if (auto* error = std::get_if<LoadError>(&result)) {
        ADD_FAILURE() << "load failed: " << error->message;
        return {};
    }
    return std::move(std::get<TreeCollection>(result));
}

// The message of a load that must fail with an error value.
std::string load_error_of(const std::string& path) {
    LoadResult result = load_tree_collection(path);
    if (auto* error = std::get_if<LoadError>(&result)) return error->message;
    return "<loaded>";
}

std::vector<std::string> shapes_of(const TreeCollection& collection) {
    std::vector<std::string> shapes;
    for (const Tree& tree : collection.trees)
        shapes.push_back(shape_of(tree, collection.taxon_set));
    return shapes;
}

bool same_trees(const TreeCollection& a, const TreeCollection& b) {
    if (a.trees.size() != b.trees.size()) return false;
    if (a.taxon_set.taxon_names() != b.taxon_set.taxon_names()) return false;
    for (std::size_t i = 0; i < a.trees.size(); ++i) {
        const Tree& x = a.trees[i];
        const Tree& y = b.trees[i];
        if (!std::ranges::equal(x.parents(), y.parents()) ||
            !std::ranges::equal(x.node_taxons(), y.node_taxons()) ||
            !std::ranges::equal(x.branch_lengths(), y.branch_lengths()) ||
            !std::ranges::equal(x.first_children(), y.first_children()) ||
            !std::ranges::equal(x.next_siblings(), y.next_siblings()))
            return false;
    }
    return true;
}

class TreeLoader : public testing::Test {
  protected:
    TempDir dir;
};

TEST_F(TreeLoader, EmptyFileGivesNoTreesAndNoTaxa) {
    const TreeCollection collection = loaded(dir.write("empty.tre", ""));
    EXPECT_TRUE(collection.trees.empty());
    EXPECT_EQ(collection.taxon_set.size(), 0u);
}

TEST_F(TreeLoader, LineEndingsDecideTheTreeCount) {
    struct Case {
        std::string bytes;
        std::vector<std::string> shapes;
    };
    const std::vector<Case> cases = {
        {"(A,B);", {"(A,B)"}},
        {"(A,B);\n", {"(A,B)"}},
        {"(A,B);\n\n", {"(A,B)", ""}},
        {"\n", {""}},
        {"\n\n", {"", ""}},
        {"(A,B);\n\n(C,D);\n", {"(A,B)", "", "(C,D)"}},
        {"(A,B);(C,D);\n", {"(A,B)"}},
        {"(A,\nB);\n", {"(A,)", "B"}},
    };
    for (const Case& c : cases) {
        const TreeCollection collection = loaded(dir.write("lines.tre", c.bytes));
        EXPECT_EQ(shapes_of(collection), c.shapes) << testing::PrintToString(c.bytes);
    }
}

TEST_F(TreeLoader, BlankLineGivesALoneRootWithoutTaxa) {
    const TreeCollection collection = loaded(dir.write("blank.tre", "(A,B);\n\n(C,D);\n"));
    ASSERT_EQ(collection.trees.size(), 3u);
    const Tree& blank = collection.trees[1];
    EXPECT_EQ(blank.node_count(), 1u);
    EXPECT_EQ(blank.node_taxon(NodeId{0}), -42);
    EXPECT_EQ(blank.branch_length(NodeId{0}), -1.0);
}

TEST_F(TreeLoader, CrLfAndLfGiveTheSameTrees) {
    const std::string lf = "((A:1,B:2):3,C:4);\n(C,(D,A));\n\n(E)\n";
    std::string crlf;
    for (char ch : lf) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    const TreeCollection from_lf = loaded(dir.write("lf.tre", lf));
    const TreeCollection from_crlf = loaded(dir.write("crlf.tre", crlf));
    EXPECT_EQ(from_lf.trees.size(), 4u);
    EXPECT_TRUE(same_trees(from_lf, from_crlf));
    EXPECT_EQ(from_crlf.taxon_set.taxon_names(), (Names{"A", "B", "C", "D", "E"}));
}

TEST_F(TreeLoader, OnlyOneCarriageReturnBelongsToTheLineEnding) {
    // In "(A\r\r\n" only the last CR is removed; the first ends up in the label.
    const TreeCollection collection = loaded(dir.write("cr.tre", "(A\r\r\nB\r\n"));
    ASSERT_EQ(collection.trees.size(), 2u);
    EXPECT_EQ(collection.taxon_set.taxon_names(), (Names{"A\r", "B"}));
}

TEST_F(TreeLoader, TaxaAreNumberedInOrderOfFirstAppearanceAcrossLines) {
    const TreeCollection collection = loaded(dir.write("order.tre", "((A,B),C);\n(C,(D,A));\n"));
    EXPECT_EQ(collection.taxon_set.taxon_names(), (Names{"A", "B", "C", "D"}));
}

TEST_F(TreeLoader, ByteOrderMarkStartsTheFirstLabel) {
    const std::string bom = "\xEF\xBB\xBF";
    const TreeCollection collection = loaded(dir.write("bom.tre", bom + "(A,B);\n(A,B);\n"));
    ASSERT_EQ(collection.trees.size(), 2u);
    EXPECT_EQ(collection.taxon_set.taxon_names(), (Names{bom + "(A", "B", "A"}));
    EXPECT_EQ(shapes_of(collection), (std::vector<std::string>{bom + "(A", "(A,B)"}));
}

TEST_F(TreeLoader, SpacesAndTabsStayPartOfTheLine) {
    const TreeCollection collection = loaded(dir.write("ws.tre", "  (A,B);  \n\t(A,B);\n"));
    ASSERT_EQ(collection.trees.size(), 2u);
    EXPECT_EQ(shapes_of(collection), (std::vector<std::string>{"(A,B)", "\t(A"}));
}

TEST_F(TreeLoader, MissingFileCannotBeRead) {
    EXPECT_EQ(load_error_of((dir.path() / "no-such-file.tre").string()),
              messages::could_not_read_file);
    EXPECT_EQ(load_error_of(""), messages::could_not_read_file);
}

TEST_F(TreeLoader, DirectoryIsALoadErrorNotACrash) {
    const std::string message = load_error_of(dir.path().string());
    EXPECT_TRUE(message == messages::could_not_read_file || message == messages::error_reading_file)
        << message;
}

TEST_F(TreeLoader, BadBranchLengthIsTheReadersFatalError) {
    const std::string path = dir.write("bad.tre", "(A:1,B:2);\n(A:1.0 ,B);\n");
    EXPECT_EQ(fatal_message_of([&] { load_tree_collection(path); }), messages::invalid_float);
}

TEST_F(TreeLoader, LinesLongerThanTheReadBufferAreReadWhole) {
    // A caterpillar of 3000 leaves (about 20 kB on one line) whose multi-byte labels fall
    // across every 8192-byte boundary of the file.
    std::string line(2999, '(');
    std::vector<std::string> expected_names;
    const std::vector<std::string> suffixes = {"", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8C\xB3"};
    for (int i = 0; i < 3000; ++i) {
        const std::string name = std::string("t").append(std::to_string(i)).append(suffixes[i % 4]);
        expected_names.push_back(name);
        if (i > 0) line.append(",");
        line.append(name);
        if (i > 0) line.append(")");
    }
    line.append(";");
    ASSERT_GT(line.size(), 3 * 8192u);
    const std::string content = line + "\n(x,y);\n" + line;
    const TreeCollection collection = loaded(dir.write("long.tre", content));
    ASSERT_EQ(collection.trees.size(), 3u);
    EXPECT_EQ(collection.trees[0].node_count(), 2 * 3000u - 1);
    expected_names.push_back("x");
    expected_names.push_back("y");
    EXPECT_EQ(collection.taxon_set.taxon_names(), expected_names);
    EXPECT_TRUE(std::ranges::equal(collection.trees[0].parents(), collection.trees[2].parents()));
}

TEST_F(TreeLoader, MultiByteCharacterAcrossEveryBufferOffset) {
    // Slides a 4-byte character over the first read-buffer boundary one byte at a time.
    const std::string tree_char = "\xF0\x9F\x8C\xB3";
    for (std::size_t pad = 8186; pad <= 8193; ++pad) {
        const std::string label = std::string(pad - 1, 'a').append(tree_char);
        const std::string content = std::string("(").append(label).append(",b);\n(c,d);\n");
        const TreeCollection collection = loaded(dir.write("edge.tre", content));
        ASSERT_EQ(collection.trees.size(), 2u) << pad;
        EXPECT_EQ(collection.taxon_set.taxon_names().at(0), label);
    }
}

struct Utf8Case {
    const char* name;
    std::string line;
};

void PrintTo(const Utf8Case& c, std::ostream* os) {
    *os << c.name;
}

class TreeLoaderInvalidUtf8 : public testing::TestWithParam<Utf8Case> {
  protected:
    TempDir dir;
};

TEST_P(TreeLoaderInvalidUtf8, LastLineFailsTheWholeLoad) {
    const std::string path = dir.write("bad.tre", "(A,B);\n(C,D);\n(E," + GetParam().line + ");\n");
    EXPECT_EQ(load_error_of(path), messages::error_reading_file);
}

TEST_P(TreeLoaderInvalidUtf8, LastLineWithoutLineFeedFails) {
    const std::string path = dir.write("bad.tre", "(A,B);\n(E," + GetParam().line);
    EXPECT_EQ(load_error_of(path), messages::error_reading_file);
}

TEST_P(TreeLoaderInvalidUtf8, FirstLineFails) {
    const std::string path = dir.write("bad.tre", GetParam().line + "\n(A,B);\n");
    EXPECT_EQ(load_error_of(path), messages::error_reading_file);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, TreeLoaderInvalidUtf8,
    testing::Values(Utf8Case{"LoneFF", "\xFF"}, Utf8Case{"LoneContinuation", "\x80"},
                    Utf8Case{"OverlongSlash", "\xC0\xAF"}, Utf8Case{"OverlongC1", "\xC1\xBF"},
                    Utf8Case{"OverlongThreeByte", "\xE0\x80\xAF"},
                    Utf8Case{"OverlongFourByte", "\xF0\x80\x80\xAF"},
                    Utf8Case{"HighSurrogate", "\xED\xA0\x80"},
                    Utf8Case{"LowSurrogate", "\xED\xBF\xBF"},
                    Utf8Case{"AboveMaxCodePoint", "\xF4\x90\x80\x80"},
                    Utf8Case{"F5Lead", "\xF5\x80\x80\x80"}, Utf8Case{"TruncatedTwoByte", "\xC3"},
                    Utf8Case{"TruncatedThreeByte", "\xE2\x82"},
                    Utf8Case{"TruncatedBeforeAscii", "\xE2\x82x"}, Utf8Case{"Latin1", "caf\xE9"}),
    [](const testing::TestParamInfo<Utf8Case>& p) { return std::string(p.param.name); });

TEST_F(TreeLoader, ValidBoundaryCodePointsAreAccepted) {
    const std::vector<std::string> names = {"\x7F",
                                            "\xC2\x80",
                                            "\xDF\xBF",
                                            "\xE0\xA0\x80",
                                            "\xED\x9F\xBF",
                                            "\xEE\x80\x80",
                                            "\xEF\xBF\xBF",
                                            "\xF0\x90\x80\x80",
                                            "\xF4\x8F\xBF\xBF",
                                            std::string("n\0ul", 4)};
    std::string line = "(";
    for (std::size_t i = 0; i < names.size(); ++i) line += (i ? "," : "") + names[i];
    line += ");";
    const TreeCollection collection = loaded(dir.write("ok.tre", line));
    EXPECT_EQ(collection.taxon_set.taxon_names(), names);
}

// A load whose lines may hold at most `cap` bytes, on a machine with `available` bytes.
LoadContext capped(std::size_t cap, std::size_t available = std::size_t{1} << 40) {
    LoadContext context = test::machine_with(available);
    context.max_line_bytes = cap;
    return context;
}

struct LineCapCase {
    const char* name;
    std::string text;
    std::size_t cap;
    std::size_t refused_line;  // 0: the file loads

    friend void PrintTo(const LineCapCase& line_case, std::ostream* out) { *out << line_case.name; }
};

class TreeLoaderLineCap : public ::testing::TestWithParam<LineCapCase> {
  protected:
    TempDir dir;
};

TEST_P(TreeLoaderLineCap, RefusesTheFirstLineLongerThanTheCapByItsNumber) {
    const LineCapCase& line_case = GetParam();
    const std::string path = dir.write("capped.tre", line_case.text);
    const std::size_t line = line_case.refused_line;
    const std::string expected =
        line == 0 ? "<no fatal error>" : messages::line_too_long(line, line_case.cap);
    EXPECT_EQ(fatal_message_of([&] { (void)load_tree_collection(path, capped(line_case.cap)); }),
              expected);
    // The engine's load of a set asks the same cap.
    EXPECT_EQ(fatal_message_of([&] { (void)load_tree_set_data(path, capped(line_case.cap)); }),
              expected);
}

const std::string ten = "(A,B,C,D);";  // ten bytes
const std::string big = "(" + std::string(20'000, 'x') + ",B);";

INSTANTIATE_TEST_SUITE_P(
    Lines, TreeLoaderLineCap,
    testing::Values(
        LineCapCase{"exactly_the_cap", ten + "\n" + ten + "\n", 10, 0},
        LineCapCase{"last_line_without_feed_at_the_cap", ten + "\n" + ten, 10, 0},
        LineCapCase{"one_byte_over", ten + "\n" + ten + "x\n" + ten + "\n", 10, 2},
        LineCapCase{"last_line_without_feed_over", ten + "\n" + ten + "x", 10, 2},
        LineCapCase{"carriage_return_counts", ten + "\r\n", 10, 1},
        LineCapCase{"blank_lines_before", "\n\n\n" + ten + "xx\n", 11, 4},
        LineCapCase{"long_line_across_reads_within", ten + "\n" + big + "\n", big.size(), 0},
        LineCapCase{"long_line_across_reads_over", ten + "\n" + big + "\n", big.size() - 1, 2},
        LineCapCase{"long_last_line_over", big, 9000, 1}),
    [](const testing::TestParamInfo<LineCapCase>& param) { return std::string(param.param.name); });

TEST_F(TreeLoader, LineCapComesBeforeTheMemoryBudget) {
    // One line of a megabyte on a machine of 200 kB: uncapped, the memory guard refuses it;
    // with a cap of 8 kB the line is refused by its number long before memory runs short.
    const std::string path = dir.write("zeros.tre", std::string(1 << 20, '\0'));
    EXPECT_THROW((void)load_tree_collection(path, test::machine_with(200'000)), std::bad_alloc);
    EXPECT_EQ(fatal_message_of(
                  [&] { (void)load_tree_collection(path, capped(8192, 200'000)); }),
              messages::line_too_long(1, 8192));
}

TEST_F(TreeLoader, EndlessLineIsRefusedOnceItPassesTheCap) {
    EXPECT_EQ(fatal_message_of([&] { (void)load_tree_collection("/dev/zero", capped(1 << 20)); }),
              "line 1 is longer than 1 MiB: is this one tree per line?");
}

// What a load of the engine raises, by kind: the package tells them apart by kind alone.
struct KindCase {
    const char* name;
    const char* text;  // nullptr: no file at all
    CollapseRule rule;
    std::optional<std::size_t> cap;
    ErrorKind kind;

    friend void PrintTo(const KindCase& kind_case, std::ostream* out) { *out << kind_case.name; }
};

class TreeLoaderErrorKind : public ::testing::TestWithParam<KindCase> {
  protected:
    TempDir dir;
};

TEST_P(TreeLoaderErrorKind, EachFailureOfALoadIsAFatalErrorOfItsKind) {
    const KindCase& kind_case = GetParam();
    const std::string path = kind_case.text == nullptr ? (dir.path() / "missing.tre").string()
                                                       : dir.write("trees.tre", kind_case.text);
    LoadContext context;
    context.max_line_bytes = kind_case.cap;
    try {
        (void)load_tree_set_data(path, context, kind_case.rule);
        ADD_FAILURE() << "loaded";
    } catch (const FatalError& error) {
        EXPECT_EQ(error.kind(), kind_case.kind) << error.message();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TreeLoaderErrorKind,
    testing::Values(
        KindCase{"missing_file", nullptr, {}, {}, ErrorKind::file_not_opened},
        KindCase{"not_utf8", "(A,B);\n(A,\xFF);\n", {}, {}, ErrorKind::file_not_read},
        KindCase{"bad_branch_length", "(A:1,B:x);\n", {}, {}, ErrorKind::bad_branch_length},
        KindCase{"bad_support_label", "((A,B)x,(C,D));\n", {{}, 0.5}, {},
                 ErrorKind::bad_support_label},
        KindCase{"line_too_long", "(A,B);\n(A,B,C);\n", {}, 6, ErrorKind::line_too_long}),
    [](const testing::TestParamInfo<KindCase>& param) { return std::string(param.param.name); });

TEST(FatalErrorKind, PlainFailIsInternalAndUnknownNamesSaySo) {
    try {
        fail("a fault");
    } catch (const FatalError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::internal);
    }
    const TaxonSet taxa;
    try {
        (void)taxa.id_of("Z");
        ADD_FAILURE() << "found";
    } catch (const FatalError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::unknown_taxon);
        EXPECT_EQ(error.message(), messages::taxon_not_found);
    }
}

}  // namespace
}  // namespace treetally
