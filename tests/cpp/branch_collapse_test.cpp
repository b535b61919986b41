// Tests of contracting weak branches: a contracted tree has exactly the arrays the reader gives
// for the text written without those branches, at any depth; support labels are read, checked
// and forgotten line by line; and a set loaded with a rule answers as the contracted file does.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <bit>
#include <limits>
#include <new>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "lca/quartet_type.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/branch_collapse.hpp"
#include "tree/support_labels.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::to_vector;

// A text read as line 1 of a file, with its support labels gathered, then contracted.
test::ParsedTree collapsed(std::string_view text, const CollapseRule& rule) {
    test::ParsedTree read;
    SupportLabels supports;
    const InternalLabelSink labels = [&](NodeId node, std::string_view label) {
        supports.add(1, node, label);
    };
    parse_newick_tree_into(text, read.taxa, read.tree, std::nullopt, labels);
    read.tree = collapse_branches(read.tree, supports.by_node(), rule);
    return read;
}

std::vector<std::uint64_t> length_bits(const Tree& tree) {
    std::vector<std::uint64_t> bits;
    for (const double length : tree.branch_lengths())
        bits.push_back(std::bit_cast<std::uint64_t>(length));
    return bits;
}

void expect_same_tree(const test::ParsedTree& got, const test::ParsedTree& want) {
    EXPECT_EQ(got.taxa.taxon_names(), want.taxa.taxon_names());
    EXPECT_EQ(to_vector(got.tree.node_taxons()), to_vector(want.tree.node_taxons()));
    EXPECT_EQ(to_vector(got.tree.parents()), to_vector(want.tree.parents()));
    EXPECT_EQ(length_bits(got.tree), length_bits(want.tree));  // NaN equal to NaN
    EXPECT_EQ(to_vector(got.tree.first_children()), to_vector(want.tree.first_children()));
    EXPECT_EQ(to_vector(got.tree.next_siblings()), to_vector(want.tree.next_siblings()));
    EXPECT_EQ(to_vector(got.tree.child_counts()), to_vector(want.tree.child_counts()));
    EXPECT_EQ(got.tree.root_is_bifurcating(), want.tree.root_is_bifurcating());
}

constexpr CollapseRule zero_length{0.0, std::nullopt};
constexpr CollapseRule support_70{std::nullopt, 70.0};

struct CollapseCase {
    const char* name;
    std::string text;
    CollapseRule rule;
    std::string contracted;  // the text written without the weak branches
};

void PrintTo(const CollapseCase& c, std::ostream* os) {
    *os << c.name;
}

class Collapse : public testing::TestWithParam<CollapseCase> {};

TEST_P(Collapse, GivesTheArraysOfTheContractedText) {
    const CollapseCase& c = GetParam();
    expect_same_tree(collapsed(c.text, c.rule), test::parse(c.contracted));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Collapse,
    testing::Values(
        CollapseCase{"FirstChild", "((A,B):0,C,D);", zero_length, "(A,B,C,D);"},
        CollapseCase{"MiddleChild", "(A,(B,C):0.0,D);", zero_length, "(A,B,C,D);"},
        CollapseCase{"Nested", "(((A,B):0,C):0,D);", zero_length, "(A,B,C,D);"},
        CollapseCase{"NestedLast", "(A,(B,(C,D):0):0);", zero_length, "(A,B,C,D);"},
        CollapseCase{"UnaryChain", "((((A,B):0):0):0,C);", zero_length, "(A,B,C);"},
        CollapseCase{"MixedDepths", "((A,(B,C):0,D):0,(E,F):1);", zero_length,
                     "(A,B,C,D,(E,F):1);"},
        CollapseCase{"BothRootChildren", "((A,B):0,(C,D):0);", zero_length, "(A,B,C,D);"},
        CollapseCase{"LoneRootChildMakesRootBifurcating", "((A,B):0);", zero_length, "(A,B);"},
        CollapseCase{"KeptLengthsStay", "(A:1,(B:2,C:3):1e-9,D:4):7;", CollapseRule{1e-6, {}},
                     "(A:1,B:2,C:3,D:4):7;"},
        CollapseCase{"LengthAtBoundCollapses", "((A,B):0.1,C);", CollapseRule{0.1, {}}, "(A,B,C);"},
        CollapseCase{"LengthAboveBoundStays", "((A,B):0.5,C);", CollapseRule{0.1, {}},
                     "((A,B):0.5,C);"},
        CollapseCase{"MissingLengthCountsAsZero", "((A,B),(C,D):,E);", zero_length, "(A,B,C,D,E);"},
        CollapseCase{"NegativeLength", "((A,B):-1,C);", zero_length, "(A,B,C);"},
        CollapseCase{"NanLengthStays", "((A,B):nan,C);", zero_length, "((A,B):nan,C);"},
        CollapseCase{"SupportBelowBound", "((A,B)50:1,(C,D)95:1);", support_70, "(A,B,(C,D):1);"},
        CollapseCase{"SupportAtBoundStays", "((A,B)70:1,C);", support_70, "((A,B):1,C);"},
        CollapseCase{"NoLabelNoSupportCollapse", "((A,B):1,(C,D)1e1:1);", support_70,
                     "((A,B):1,C,D);"},
        CollapseCase{"LaterLabelReplaces", "((A,B)90[c]10:1,C);", support_70, "(A,B,C);"},
        CollapseCase{"RootLabelIgnored", "((A,B)10,C)root;", support_70, "(A,B,C);"},
        CollapseCase{"EitherBoundCollapses", "((A,B)99:0,(C,D)10:5,(E,F)90:1);",
                     CollapseRule{0.0, 70.0}, "(A,B,C,D,(E,F):1);"},
        CollapseCase{"InternalTaxonStays", "(X[c](A,B):0,C);", zero_length, "(X[c](A,B):0,C);"},
        CollapseCase{"StrayCommaAtRoot", "(A,B),(C,D):0;", zero_length, "(A,B),C,D;"},
        CollapseCase{"NothingToCollapse", "(A,B);", zero_length, "(A,B);"}));

// A text read with its support labels and the nodes written with a length, then contracted as
// a load contracts it: a branch without a length is judged by its support alone.
test::ParsedTree collapsed_as_loaded(std::string_view text, const CollapseRule& rule) {
    test::ParsedTree read;
    SupportLabels supports;
    std::vector<std::uint8_t> written;
    const InternalLabelSink labels = [&](NodeId node, std::string_view label) {
        supports.add(1, node, label);
    };
    const InternalLengthSink lengths = [&](NodeId node) {
        written.resize(std::max(written.size(), node.index() + 1));
        written[node.index()] = 1;
    };
    parse_newick_tree_into(text, read.taxa, read.tree, std::nullopt, labels, {}, lengths);
    read.tree = collapse_branches(read.tree, supports.by_node(), rule,
                                  std::span<const std::uint8_t>(written));
    return read;
}

class CollapseAsLoaded : public testing::TestWithParam<CollapseCase> {};

TEST_P(CollapseAsLoaded, JudgesOnlyWrittenLengths) {
    const CollapseCase& c = GetParam();
    expect_same_tree(collapsed_as_loaded(c.text, c.rule), test::parse(c.contracted));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, CollapseAsLoaded,
    testing::Values(
        CollapseCase{"NoLengthsAtAll", "((A,B),(C,D),E);", zero_length, "((A,B),(C,D),E);"},
        CollapseCase{"ColonWithoutNumber", "((A,B):,C);", zero_length, "((A,B),C);"},
        CollapseCase{"WrittenZeroBesideMissing", "((A,B):0,(C,D),E);", zero_length,
                     "(A,B,(C,D),E);"},
        CollapseCase{"WrittenZeroIsJudged", "((A,B):0.0,C);", zero_length, "(A,B,C);"},
        CollapseCase{"NegativeIsJudged", "((A,B):-1,C);", zero_length, "(A,B,C);"},
        CollapseCase{"LengthAfterComment", "((A,B)[x]:0,C);", zero_length, "(A,B,C);"},
        CollapseCase{"LeafLengthsDoNotMarkParents", "((A:0,B:0),C:0);", zero_length,
                     "((A:0,B:0),C:0);"},
        CollapseCase{"MissingLengthStillJudgedBySupport", "((A,B)10,(C,D)90,E);",
                     CollapseRule{0.0, 70.0}, "(A,B,(C,D),E);"},
        CollapseCase{"DeepMissingUnderWritten", "(((A,B),C):0,D);", zero_length,
                     "((A,B),C,D);"}));

TEST(Collapse, WeakRuleLeavesRandomTreesAsRead) {
    std::mt19937_64 rng(7);
    for (int k = 0; k < 200; ++k) {
        const std::string text = test::random_newick(rng);
        SCOPED_TRACE(text);
        expect_same_tree(collapsed(text, CollapseRule{-1.0, 0.0}), test::parse(text));
    }
}

// Deep caterpillars, hanging on first or on last children, with every internal branch weak.
TEST(Collapse, DeepCaterpillarsBecomeStarsWithoutRecursion) {
    constexpr int leaves = 100'000;  // 200,000 nodes
    std::string left(leaves - 1, '(');
    std::string right;
    std::string star = "(";
    for (int k = 0; k < leaves; ++k) {
        const std::string leaf = "t" + std::to_string(k);
        left += k == 0 ? leaf : "," + leaf + "):0";
        right += k + 1 < leaves ? "(" + leaf + "," : leaf + std::string(leaves - 1, ')');
        star += (k ? "," : "") + leaf;
    }
    star += ")";
    left.erase(left.size() - 2);  // the root's own ":0"
    for (const std::string& deep : {left, right}) {
        const auto got = collapsed(deep, zero_length);
        EXPECT_EQ(got.tree.node_count(), static_cast<std::size_t>(leaves) + 1);
        expect_same_tree(got, test::parse(star));
    }
}

TEST(SupportLabels, NonNumberIsFatalWithLineAndLabel) {
    const test::TempDir dir;
    const std::string path = dir.write("t.tre", "((A,B)90,C);\n\n((A,B)abc:1,C);\n");
    const auto load = [&](const CollapseRule& rule) { (void)load_tree_set_data(path, {}, rule); };
    EXPECT_EQ(fatal_message_of([&] { load(support_70); }),
              "line 3: the internal label \"abc\" is not a support value");
    // Without a support bound the labels are never read as numbers.
    EXPECT_EQ(fatal_message_of([&] { load(zero_length); }), "<no fatal error>");
    EXPECT_EQ(not_a_support_value(1, "a\"b\\" + std::string(100, 'x')),
              "line 1: the internal label \"a\\\"b\\\\" + std::string(56, 'x') +
                  "...\" is not a support value");
}

// Four slots over taxa A..F: every quartet's code in every tree of `data`.
std::vector<std::optional<std::uint8_t>> all_quartet_codes(const TreeSetData& data) {
    std::vector<std::optional<std::uint8_t>> codes;
    const std::array<std::string_view, 6> names{"A", "B", "C", "D", "E", "F"};
    for (const TreeLca& lca : data.lcas) {
        for (unsigned mask = 0; mask < 64; ++mask) {
            if (std::popcount(mask) != 4) continue;
            std::array<TaxonId, 4> ids;
            for (std::size_t bit = 0, k = 0; bit < 6; ++bit)
                if (mask >> bit & 1u) ids[k++] = data.taxon_set.id_of(names[bit]);
            FourPositions positions;
            codes.push_back(read_positions(lca, ids, positions) ? quartet_type(lca, positions)
                                                                : std::optional<std::uint8_t>(9));
        }
    }
    return codes;
}

TEST(CollapsedLoad, KeepsBranchesWrittenWithoutALength) {
    const test::TempDir dir;
    // The second line's (A,B) has no length: the 0 written on the line before must not reach it.
    const std::string mixed =
        dir.write("mixed.tre", "((A,B):0,(C,D):1,(E,F));\n((A,B),(C,D):0,(E,F):2);\n");
    const std::string contracted =
        dir.write("contracted.tre", "(A,B,(C,D):1,(E,F));\n((A,B),C,D,(E,F):2);\n");
    const TreeSetData got = load_tree_set_data(mixed, {}, zero_length);
    const TreeSetData want = load_tree_set_data(contracted);
    EXPECT_EQ(all_quartet_codes(got), all_quartet_codes(want));
}

TEST(CollapsedLoad, CountsLengthsBelowZero) {
    const test::TempDir dir;
    const std::string path =
        dir.write("negative.tre", "((A:-1,B):-0.5,C:-0,D:nan);\n((A,B),(C:-inf,D)):-2;\n(A,B);\n");
    for (const CollapseRule& rule : {CollapseRule{}, zero_length, support_70}) {
        LoadNotes notes{99, 99, 99};
        (void)load_tree_set_data(path, {}, rule, {}, &notes);
        EXPECT_EQ(notes.negative_lengths, 3u);  // -0, nan and the root's length are not counted
    }
}

TEST(CollapsedLoad, AnswersAsTheContractedFile) {
    const test::TempDir dir;
    const std::string weak =
        dir.write("weak.tre",
                  "((A,B)40:0.5,((C,D)95:0,(E,F)99:2)80:1);\n((A,B):1,(C,D)90:1,(E,F):1);\n"
                  "(((A,C)10:1,B)95:0.2,(D,E)90:0,F);\n((A,(B,(C,(D,(E,F):1):0):0):0):0);\n");
    // The second tree's (A,B) has no label: the 40 of the line before must not reach it.
    const std::string contracted = dir.write("contracted.tre",
                                             "(A,B,(C,D,(E,F):2):1);\n((A,B):1,(C,D):1,(E,F):1);\n"
                                             "((A,C,B):0.2,D,E,F);\n(A,B,C,D,(E,F):1);\n");
    const CollapseRule rule{0.0, 50.0};
    const TreeSetData got = load_tree_set_data(weak, {}, rule);
    const TreeSetData want = load_tree_set_data(contracted);
    EXPECT_EQ(all_quartet_codes(got), all_quartet_codes(want));
    EXPECT_THROW((void)load_tree_set_data(weak, test::machine_with(1000), rule), std::bad_alloc);
}

}  // namespace
}  // namespace treetally
