// Tests of the per-node arrays a tree is stored in, as the reader fills them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/messages.hpp"
#include "test_support.hpp"
#include "tree/tree.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::parse;
using test::to_vector;
using Ints = std::vector<std::int32_t>;

std::vector<NodeId> children_of(const Tree& tree, NodeId node) {
    std::vector<NodeId> out;
    for (NodeId child : tree.children(node)) out.push_back(child);
    return out;
}

TEST(Tree, NestedTreeGivesPreorderArrays) {
    const auto parsed = parse("((A,B),C);");
    const Tree& tree = parsed.tree;
    ASSERT_EQ(tree.node_count(), 5u);
    EXPECT_EQ(to_vector(tree.parents()), (Ints{0, 0, 1, 1, 0}));
    EXPECT_EQ(to_vector(tree.first_children()), (Ints{1, 2, -1, -1, -1}));
    EXPECT_EQ(to_vector(tree.next_siblings()), (Ints{-1, 4, 3, -1, -1}));
    EXPECT_EQ(to_vector(tree.child_counts()), (Ints{2, 2, 0, 0, 0}));
    EXPECT_EQ(to_vector(tree.node_taxons()), (Ints{-42, -1, 0, 1, 2}));
    EXPECT_EQ(std::vector<double>(tree.branch_lengths().begin(), tree.branch_lengths().end()),
              (std::vector<double>{-1.0, 0.0, 0.0, 0.0, 0.0}));
    EXPECT_TRUE(tree.root_is_bifurcating());
    EXPECT_EQ(tree.unrooted_node_count(), 4u);
    EXPECT_EQ(parsed.taxa.taxon_names(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(children_of(tree, NodeId{0}), (std::vector<NodeId>{NodeId{1}, NodeId{4}}));
    EXPECT_EQ(children_of(tree, NodeId{1}), (std::vector<NodeId>{NodeId{2}, NodeId{3}}));
    EXPECT_TRUE(children_of(tree, NodeId{2}).empty());
    EXPECT_EQ(tree.taxon_of(NodeId{0}), std::nullopt);
    EXPECT_EQ(tree.taxon_of(NodeId{3})->value, 1u);
}

TEST(Tree, EmptyTextGivesTheLoneRoot) {
    const auto parsed = parse("");
    const Tree& tree = parsed.tree;
    ASSERT_EQ(tree.node_count(), 1u);
    EXPECT_EQ(tree.node_taxon(NodeId{0}), -42);
    EXPECT_EQ(tree.parent(NodeId{0}).value, 0);
    EXPECT_EQ(tree.branch_length(NodeId{0}), -1.0);
    EXPECT_EQ(tree.first_child(NodeId{0}).value, -1);
    EXPECT_EQ(tree.next_sibling(NodeId{0}).value, -1);
    EXPECT_EQ(tree.child_count(NodeId{0}), 0);
    EXPECT_FALSE(tree.root_is_bifurcating());
    EXPECT_EQ(tree.unrooted_node_count(), 1u);
    EXPECT_EQ(parsed.taxa.size(), 0u);
    // A default-constructed tree is the same lone root.
    const Tree fresh;
    EXPECT_EQ(to_vector(fresh.node_taxons()), (Ints{-42}));
    EXPECT_EQ(fresh.branch_length(NodeId{0}), -1.0);
}

TEST(Tree, RootWithThreeChildrenIsNotBifurcating) {
    const Tree tree = parse("(A,B,C);").tree;
    EXPECT_EQ(tree.child_count(NodeId{0}), 3);
    EXPECT_FALSE(tree.root_is_bifurcating());
    EXPECT_EQ(tree.unrooted_node_count(), tree.node_count());
    EXPECT_EQ(tree.node_count(), 4u);
}

TEST(Tree, UnaryNodeStaysInTheTree) {
    const auto parsed = parse("((A),B);");
    EXPECT_EQ(to_vector(parsed.tree.child_counts()), (Ints{2, 1, 0, 0}));
    EXPECT_EQ(to_vector(parsed.tree.parents()), (Ints{0, 0, 1, 0}));
    EXPECT_EQ(test::shape_of(parsed), "((A),B)");
}

TEST(Tree, RepeatedLabelGivesBothLeavesOneTaxon) {
    const auto parsed = parse("(A,(B,A));");
    EXPECT_EQ(to_vector(parsed.tree.node_taxons()), (Ints{-42, 0, -1, 1, 0}));
    EXPECT_EQ(parsed.taxa.size(), 2u);
}

TEST(Tree, NodeOutsideTheTreeIsAnIndexError) {
    const Tree tree = parse("((A,B),C);").tree;
    EXPECT_EQ(fatal_message_of([&] { (void)tree.children(NodeId{5}); }),
              messages::index_out_of_bounds(5, 5));
    EXPECT_EQ(fatal_message_of([&] { (void)tree.parent(NodeId{7}); }),
              messages::index_out_of_bounds(5, 7));
    EXPECT_EQ(fatal_message_of([&] { (void)tree.node_taxon(NodeId{-1}); }),
              messages::index_out_of_bounds(5, NodeId{-1}.index()));
}

}  // namespace
}  // namespace treetally
