// Stack safety: trees nested a million levels deep must read, index and answer queries
// without recursion running out of stack.
#include <gtest/gtest.h>

#include <string>

#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/tree_lca.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

constexpr int million = 1'000'000;

TEST(DeepTrees, CaterpillarOfAMillionLeaves) {
    // ((((l0:1,l1:1):1,l2:1):1,l3:1):1 ... ,l999999:1);
    std::string text(million - 1, '(');
    text.reserve(text.size() + 16 * static_cast<std::size_t>(million));
    text += "l0:1";
    for (int i = 1; i < million; ++i) {
        text += ",l" + std::to_string(i) + ":1)";
        if (i + 1 < million) text += ":1";
    }
    text += ';';
    TaxonSet taxa;
    const Tree tree = parse_newick_tree(text, taxa);
    text.clear();
    text.shrink_to_fit();
    ASSERT_EQ(tree.node_count(), 2u * million - 1);
    ASSERT_EQ(taxa.size(), static_cast<std::size_t>(million));
    EXPECT_TRUE(tree.root_is_bifurcating());

    const TreeLca index = TreeLca::build(tree, taxa.size());
    EXPECT_EQ(index.column_count(), 2 * (2u * million - 2));
    const EulerPos l0 = index.taxon_position(taxa.id_of("l0"));
    const EulerPos l1 = index.taxon_position(taxa.id_of("l1"));
    const EulerPos l2 = index.taxon_position(taxa.id_of("l2"));
    const EulerPos last = index.taxon_position(taxa.id_of("l999999"));
    EXPECT_EQ(index.depth_at(l0), static_cast<std::uint32_t>(million - 1));
    EXPECT_EQ(index.depth_at(index.lca_position(l0, l1)), static_cast<std::uint32_t>(million - 2));
    EXPECT_EQ(index.depth_at(index.lca_position(l0, last)), 0u);
    // l0 lies a million - 1 unit edges below the root, and last one edge below it.
    EXPECT_EQ(path_distance(index, l0, last), static_cast<double>(million));
    EXPECT_EQ(quartet_type(index, {l0, l1, l2, last}), 0);
}

TEST(DeepTrees, NestedAMillionLevels) {
    // ((((...A...)))) : a chain of a million unary nodes above one leaf, then B beside it.
    std::string text(million, '(');
    text += "A";
    text += std::string(million - 1, ')');
    text += ",B);";
    TaxonSet taxa;
    const Tree tree = parse_newick_tree(text, taxa);
    ASSERT_EQ(tree.node_count(), static_cast<std::size_t>(million) + 2);
    const TreeLca index = TreeLca::build(tree, taxa.size());
    const EulerPos a = index.taxon_position(taxa.id_of("A"));
    const EulerPos b = index.taxon_position(taxa.id_of("B"));
    EXPECT_EQ(index.depth_at(a), static_cast<std::uint32_t>(million));
    EXPECT_EQ(index.node_at(index.lca_position(a, b)).value, 0);

    // The same nesting without anything beside it, and never closed.
    TaxonSet other;
    const Tree open = parse_newick_tree(std::string(million, '(') + "A", other);
    ASSERT_EQ(open.node_count(), static_cast<std::size_t>(million) + 1);
    const TreeLca open_index = TreeLca::build(open, other.size());
    const EulerPos deep = open_index.taxon_position(TaxonId{0});
    EXPECT_EQ(open_index.depth_at(deep), static_cast<std::uint32_t>(million));
    EXPECT_EQ(open_index.lca_position(deep, EulerPos{1}).value, 1u);
}

}  // namespace
}  // namespace treetally
