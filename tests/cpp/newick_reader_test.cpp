// Tests of the one-pass Newick reader: what shape and taxa each kind of text gives, how it
// treats labels, spaces, comments and stray brackets, where it stops, and that its arrays
// end exactly the size of the tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "test_support.hpp"
#include "tree/newick_reader.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::parse;
using test::shape_of;
using test::to_vector;
using Names = std::vector<std::string>;
using Ints = std::vector<std::int32_t>;

// One text, the shape it reads as (written back without lengths) and the taxa it adds.
struct ShapeCase {
    const char* name;
    std::string text;
    std::string shape;
    Names taxa;
};

void PrintTo(const ShapeCase& c, std::ostream* os) {
    *os << c.name;
}

class ReaderShape : public testing::TestWithParam<ShapeCase> {};

TEST_P(ReaderShape, ReadsAsExpected) {
    const ShapeCase& c = GetParam();
    const auto parsed = parse(c.text);
    EXPECT_EQ(shape_of(parsed), c.shape);
    EXPECT_EQ(parsed.taxa.taxon_names(), c.taxa);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReaderShape,
    testing::Values(
        ShapeCase{"WithSemicolon", "((A,B),C);", "((A,B),C)", {"A", "B", "C"}},
        ShapeCase{"WithoutSemicolon", "((A,B),C)", "((A,B),C)", {"A", "B", "C"}},
        ShapeCase{"RootLabelDiscarded", "(A,B)X;", "(A,B)", {"A", "B"}},
        ShapeCase{"InternalSupportDiscarded",
                  "((A,B)100:0.5,(C,D)/0.99,E)0.7;",
                  "((A,B),(C,D),E)",
                  {"A", "B", "C", "D", "E"}},
        ShapeCase{"SpacesBeforeLabelsSkippedAfterKept", "( A , B );", "(A ,B )", {"A ", "B "}},
        ShapeCase{"SpaceInsideLabel", "(A B,C);", "(A B,C)", {"A B", "C"}},
        ShapeCase{"QuotesKept", "('A B',C);", "('A B',C)", {"'A B'", "C"}},
        ShapeCase{"OpenBracketInsideLabel", "(A(B,C);", "(A(B,C)", {"A(B", "C"}},
        ShapeCase{"StrayCloseSquareBracketIsLabelText", "(A]B,]C);", "(A]B,]C)", {"A]B", "]C"}},
        ShapeCase{"Comments", "(A[&&NHX:S=x],B)[a [nested] comment];", "(A,B)", {"A", "B"}},
        ShapeCase{"CommentsBetweenTokens", "[x]([y]A[z]:1[w],B[q]);", "(A,B)", {"A", "B"}},
        ShapeCase{"SemicolonInsideCommentDoesNotStop", "(A[;],B);", "(A,B)", {"A", "B"}},
        ShapeCase{"SecondLabelAfterCommentReplacesFirst", "(A[c]B,C);", "(B,C)", {"A", "B", "C"}},
        ShapeCase{"OnlyFirstTreeRead", "(A,B);(C,D);", "(A,B)", {"A", "B"}},
        ShapeCase{"LabelEndsAtSemicolon", "(A,B;C)", "(A,B)", {"A", "B"}},
        ShapeCase{"UnclosedComment", "(A,B[unclosed", "(A,B)", {"A", "B"}},
        ShapeCase{"UnclosedCommentInsideClade", "(A,(B,C[x", "(A,(B,C))", {"A", "B", "C"}},
        ShapeCase{"UnclosedNestedComment", "(A,B)[a[b]c", "(A,B)", {"A", "B"}},
        ShapeCase{"UnclosedCommentAfterLength", "(A:2[", "(A)", {"A"}},
        ShapeCase{"OneCloseMissing", "(A,(B,C);", "(A,(B,C))", {"A", "B", "C"}},
        ShapeCase{"OneCloseTooMany", "(A,B));", "(A,B)", {"A", "B"}},
        ShapeCase{"UnlabelledLeaves", "(,);", "(,)", {}},
        ShapeCase{"UnlabelledFirstLeaf", "(,B);", "(,B)", {"B"}},
        ShapeCase{"EmptyText", "", "", {}}, ShapeCase{"SemicolonOnly", ";", "", {}},
        ShapeCase{"SpacesOnly", "   ", "", {}}, ShapeCase{"LoneLeaf", "A;", "A", {"A"}},
        ShapeCase{"LabelWithoutParentheses", "A B", "A B", {"A B"}},
        // A tab or carriage return is no space: it starts a label at the root, which then
        // swallows the "(" and the first leaf's name; "," links B only as the root's sibling.
        ShapeCase{"TabStartsLabel", "\t(A,B);", "\t(A", {"\t(A", "B"}},
        // After "," at the root the root counts a child it does not link; a later label
        // there is still one after ")" and is dropped.
        ShapeCase{"RootLabelAfterCommaAtRootDiscarded", "A,B)X;", "A", {"A", "B"}},
        ShapeCase{"CarriageReturnStartsLabel", "\r(A,B);", "\r(A", {"\r(A", "B"}},
        ShapeCase{"NonAsciiBytesCopied",
                  "(\xC3\xA9,\xF0\x9F\x8C\xB3);",
                  "(\xC3\xA9,\xF0\x9F\x8C\xB3)",
                  {"\xC3\xA9", "\xF0\x9F\x8C\xB3"}}),
    [](const testing::TestParamInfo<ShapeCase>& p) { return std::string(p.param.name); });

TEST(NewickReader, TreeWithoutSemicolonEqualsTreeWithIt) {
    const auto with = parse("((A:1,B:2):3,C);");
    const auto without = parse("((A:1,B:2):3,C)");
    EXPECT_EQ(to_vector(with.tree.parents()), to_vector(without.tree.parents()));
    EXPECT_EQ(to_vector(with.tree.node_taxons()), to_vector(without.tree.node_taxons()));
    EXPECT_TRUE(std::equal(with.tree.branch_lengths().begin(), with.tree.branch_lengths().end(),
                           without.tree.branch_lengths().begin(),
                           without.tree.branch_lengths().end()));
    EXPECT_EQ(with.tree.root_is_bifurcating(), without.tree.root_is_bifurcating());
}

TEST(NewickReader, LoneLeafSitsOnTheRoot) {
    const auto parsed = parse("A;");
    EXPECT_EQ(parsed.tree.node_count(), 1u);
    EXPECT_EQ(parsed.tree.node_taxon(NodeId{0}), 0);
    EXPECT_FALSE(parsed.tree.root_is_bifurcating());
}

TEST(NewickReader, UnlabelledLeavesMakeABifurcatingRoot) {
    const auto parsed = parse("(,);");
    EXPECT_EQ(to_vector(parsed.tree.node_taxons()), (Ints{-42, -1, -1}));
    EXPECT_TRUE(parsed.tree.root_is_bifurcating());
}

TEST(NewickReader, UnclosedCommentFinishesTheTreeAsAtSemicolon) {
    const auto parsed = parse("(A:1,B:2[never closed, (C,D);");
    EXPECT_EQ(parsed.tree.node_count(), 3u);
    EXPECT_TRUE(parsed.tree.root_is_bifurcating());
    EXPECT_EQ(parsed.tree.branch_length(NodeId{2}), 2.0);
    EXPECT_EQ(parsed.taxa.size(), 2u);
}

TEST(NewickReader, CommaAtTheRootMakesAnUnreachableSibling) {
    const auto parsed = parse("(A,B),C;");
    const Tree& tree = parsed.tree;
    ASSERT_EQ(tree.node_count(), 4u);
    EXPECT_EQ(tree.parent(NodeId{3}).value, 0);
    EXPECT_EQ(tree.next_sibling(NodeId{0}).value, 3);
    EXPECT_EQ(tree.child_count(NodeId{0}), 3);
    EXPECT_FALSE(tree.root_is_bifurcating());
    EXPECT_EQ(shape_of(parsed), "(A,B)");
    EXPECT_EQ(parsed.taxa.taxon_names(), (Names{"A", "B", "C"}));
}

TEST(NewickReader, OpenBracketAfterCloseReplacesFirstChild) {
    // "(" sets first_child again, so the earlier children are no longer linked from it.
    const auto parsed = parse("(A,B)(C);");
    EXPECT_EQ(parsed.tree.child_count(NodeId{0}), 3);
    EXPECT_EQ(parsed.tree.first_child(NodeId{0}).value, 3);
    EXPECT_EQ(shape_of(parsed), "(C)");
}

TEST(NewickReader, BranchLengthsGoToTheirNodes) {
    const auto parsed = parse("(A:1.5,B:2)90:0.1;");
    const Tree& tree = parsed.tree;
    EXPECT_EQ(tree.branch_length(NodeId{1}), 1.5);
    EXPECT_EQ(tree.branch_length(NodeId{2}), 2.0);
    EXPECT_EQ(tree.branch_length(NodeId{0}), 0.1);
    EXPECT_EQ(parsed.taxa.taxon_names(), (Names{"A", "B"}));
}

TEST(NewickReader, AcceptedLengthForms) {
    const Tree tree = parse("(A:1e-3,B:.5,C:+2,D:inf,E:-0,F:1E+2);").tree;
    EXPECT_EQ(tree.branch_length(NodeId{1}), 0.001);
    EXPECT_EQ(tree.branch_length(NodeId{2}), 0.5);
    EXPECT_EQ(tree.branch_length(NodeId{3}), 2.0);
    EXPECT_EQ(tree.branch_length(NodeId{4}), INFINITY);
    EXPECT_EQ(tree.branch_length(NodeId{5}), 0.0);
    EXPECT_TRUE(std::signbit(tree.branch_length(NodeId{5})));
    EXPECT_EQ(tree.branch_length(NodeId{6}), 100.0);
}

TEST(NewickReader, MissingLengthsKeepInitialValues) {
    const Tree tree = parse("(A:,B)[c]:;").tree;
    EXPECT_EQ(tree.branch_length(NodeId{1}), 0.0);
    EXPECT_EQ(tree.branch_length(NodeId{2}), 0.0);
    EXPECT_EQ(tree.branch_length(NodeId{0}), -1.0);
}

TEST(NewickReader, LaterLengthReplacesEarlier) {
    const Tree tree = parse("(A:1[x]:2,B:3[y]:,C:4):5[z]:6;").tree;
    EXPECT_EQ(tree.branch_length(NodeId{1}), 2.0);
    EXPECT_EQ(tree.branch_length(NodeId{2}), 3.0);  // an empty second length stores nothing
    EXPECT_EQ(tree.branch_length(NodeId{0}), 6.0);
}

TEST(NewickReader, LengthEndsAtCommentAndCloseBracket) {
    const Tree tree = parse("((A:1[c],B:2):3,C:4)").tree;
    EXPECT_EQ(to_vector(tree.parents()), (Ints{0, 0, 1, 1, 0}));
    EXPECT_EQ((std::vector<double>(tree.branch_lengths().begin(), tree.branch_lengths().end())),
              (std::vector<double>{-1.0, 3.0, 1.0, 2.0, 4.0}));
}

class ReaderRejectsLength : public testing::TestWithParam<std::string> {};

TEST_P(ReaderRejectsLength, WithTheFloatParserMessage) {
    TaxonSet taxa;
    EXPECT_EQ(fatal_message_of([&] { parse_newick_tree(GetParam(), taxa); }),
              messages::invalid_float);
}

INSTANTIATE_TEST_SUITE_P(Texts, ReaderRejectsLength,
                         testing::Values("(A:1.0 ,B);", "(A:1:2,B);", "(A: 1,B);", "(A:1(2,B);",
                                         "(A:nan(1),B);", "(A:0x10,B);", "(A:1e,B);", "(A,B):x;",
                                         "(A,B):1e5 ", "(A:\t1,B);", "(A:1\r,B);", "(A:1B,C);"));

TEST(NewickReader, RejectedLengthReturnsNoTree) {
    TaxonSet taxa;
    EXPECT_THROW(parse_newick_tree("(A,B:x);", taxa), FatalError);
}

TEST(NewickReader, NothingAfterFirstSemicolonIsRead) {
    // A bad length after ";" is never converted.
    const auto parsed = parse("(A,B);(C:bad,D);");
    EXPECT_EQ(shape_of(parsed), "(A,B)");
    EXPECT_EQ(parsed.taxa.size(), 2u);
}

TEST(NewickReader, SharedSetGrowsAcrossTrees) {
    TaxonSet taxa;
    parse_newick_tree("(A,B);", taxa);
    const Tree second = parse_newick_tree("(B,C);", taxa);
    EXPECT_EQ(taxa.taxon_names(), (Names{"A", "B", "C"}));
    EXPECT_EQ(to_vector(second.node_taxons()), (Ints{-42, 1, 2}));
}

// The reader sizes its arrays from the brackets and commas before the first ";"; brackets in
// labels and comments, and a ";" inside a comment, must not change the tree or leave spare room.
TEST(NewickReader, ReservedNodeArraysEndExact) {
    const std::vector<std::string> texts = {
        "((A,B),C);", "(A[(,(,(],B);",  "(A(x,B);", "(A,B)[;](C,(D,E));", "(A,B);(C,(D,E));",
        "",           "((((((A))))));",
    };
    for (const std::string& text : texts) {
        const auto parsed = parse(text);
        EXPECT_EQ(parsed.tree.heap_bytes(), parsed.tree.node_count() * Tree::bytes_per_node())
            << text;
    }
    EXPECT_EQ(parse("(A[(,(,(],B);").tree.node_count(), 3u);
    EXPECT_EQ(parse("(A,B)[;](C,(D,E));").tree.node_count(), 7u);
}

// Reading one tree after another into the same arrays gives the trees a fresh read gives,
// whatever was read before, and keeps the room of the largest.
TEST(NewickReader, TreesReadIntoReusedArraysMatchFreshReads) {
    const std::vector<std::string> texts = {"((A:1,B:2):3,(C,D),E);", "(F,G);", "",
                                            "(((A,(B,C)),D),(E,F));", "A;"};
    TaxonSet fresh_taxa;
    TaxonSet reused_taxa;
    Tree reused;
    std::size_t largest_room = 0;
    for (const std::string& text : texts) {
        const Tree fresh = parse_newick_tree(text, fresh_taxa);
        parse_newick_tree_into(text, reused_taxa, reused);
        EXPECT_TRUE(std::ranges::equal(fresh.node_taxons(), reused.node_taxons())) << text;
        EXPECT_TRUE(std::ranges::equal(fresh.parents(), reused.parents())) << text;
        EXPECT_TRUE(std::ranges::equal(fresh.branch_lengths(), reused.branch_lengths())) << text;
        EXPECT_TRUE(std::ranges::equal(fresh.first_children(), reused.first_children())) << text;
        EXPECT_TRUE(std::ranges::equal(fresh.next_siblings(), reused.next_siblings())) << text;
        EXPECT_TRUE(std::ranges::equal(fresh.child_counts(), reused.child_counts())) << text;
        EXPECT_EQ(fresh.root_is_bifurcating(), reused.root_is_bifurcating()) << text;
        largest_room = std::max(largest_room, fresh.heap_bytes());
        EXPECT_EQ(reused.heap_bytes(), largest_room) << text;
    }
}

}  // namespace
}  // namespace treetally
