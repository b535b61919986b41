// Tests of the queries on one tree of a set: names to positions in that tree, nullopt for a
// taxon the tree lacks, and the order of the two failures (unknown name, then tree index).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "sets/single_tree_queries.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::data_of;
using test::fatal_message_of;

constexpr QuintetNames abcde = {"A", "B", "C", "D", "E"};
constexpr QuartetNames abcd = {"A", "B", "C", "D"};

const std::vector<std::string> two_trees = {"((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);", "((A,B),(C,D));"};

TEST(SingleTreeQueries, TreeWithAllTaxaAnswers) {
    const TreeSetData data = data_of(two_trees);
    EXPECT_EQ(tree_pairwise_distances(data, 0, abcde),
              (PairDistances{3.0, 8.0, 6.5, 7.5, 9.0, 7.5, 8.5, 6.5, 7.5, 2.0}));
    EXPECT_EQ(tree_quintet_type(data, 0, abcde), 0);
    EXPECT_EQ(tree_quartet_type(data, 0, abcd), 0);
    EXPECT_EQ(tree_quartet_type(data, 1, {"A", "C", "B", "D"}), 1);
}

TEST(SingleTreeQueries, TaxonMissingFromThisTreeGivesNothing) {
    const TreeSetData data = data_of(two_trees);
    EXPECT_EQ(tree_quintet_type(data, 1, abcde), std::nullopt);
    EXPECT_EQ(tree_pairwise_distances(data, 1, abcde), std::nullopt);
    EXPECT_EQ(tree_quartet_type(data, 1, {"A", "B", "C", "E"}), std::nullopt);
}

TEST(SingleTreeQueries, UnresolvedTreeGivesNothingButDistancesAnswer) {
    const TreeSetData data = data_of({"(A:1,B:1,C:1,D:1,E:1);"});
    EXPECT_EQ(tree_quintet_type(data, 0, abcde), std::nullopt);
    EXPECT_EQ(tree_quartet_type(data, 0, abcd), std::nullopt);
    EXPECT_EQ(tree_pairwise_distances(data, 0, abcde),
              (PairDistances{2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));
}

TEST(SingleTreeQueries, TreeIndexPastTheEndIsFatal) {
    const TreeSetData data = data_of(two_trees);
    EXPECT_EQ(fatal_message_of([&] { tree_quartet_type(data, 2, abcd); }),
              messages::index_out_of_bounds(2, 2));
    EXPECT_EQ(fatal_message_of([&] { tree_quintet_type(data, 7, abcde); }),
              messages::index_out_of_bounds(2, 7));
    const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(fatal_message_of([&] { tree_pairwise_distances(data, largest, abcde); }),
              messages::index_out_of_bounds(2, largest));
}

TEST(SingleTreeQueries, UnknownNameIsReportedBeforeTheTreeIndex) {
    const TreeSetData data = data_of(two_trees);
    const QuintetNames last_unknown = {"A", "B", "C", "D", "F"};
    EXPECT_EQ(fatal_message_of([&] { tree_quintet_type(data, 5, last_unknown); }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] { tree_pairwise_distances(data, 5, last_unknown); }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] {
                  tree_quartet_type(data, 5, {"a", "B", "C", "D"});
              }),
              messages::taxon_not_found);
    // Slots 0 to 3 are taxa of tree 1, slot 4 is no taxon of the file at all.
    EXPECT_EQ(fatal_message_of([&] { tree_quintet_type(data, 1, last_unknown); }),
              messages::taxon_not_found);
}

TEST(SingleTreeQueries, EmptySetFailsOnTheNameFirst) {
    const TreeSetData data = data_of({});
    EXPECT_EQ(fatal_message_of([&] { tree_quartet_type(data, 0, abcd); }),
              messages::taxon_not_found);
}

TEST(SingleTreeQueries, LoadFailureNamesItsReason) {
    test::TempDir dir;
    EXPECT_EQ(fatal_message_of([&] { load_tree_set_data((dir.path() / "missing.tre").string()); }),
              messages::failed_to_load(messages::could_not_read_file));
    const std::string bad = dir.write("bad.tre", "(A,B);\n(\xFF);\n");
    EXPECT_EQ(fatal_message_of([&] { load_tree_set_data(bad); }),
              messages::failed_to_load(messages::error_reading_file));
    // The reason is quoted, its own quotes and backslashes escaped.
    EXPECT_EQ(messages::failed_to_load("a\"b\\c"), R"(Failed to load tree collection: "a\"b\\c")");
}

TEST(SingleTreeQueries, LoadedSetIndexesEveryTreeOverAllTaxa) {
    test::TempDir dir;
    const TreeSetData data = load_tree_set_data(dir.write("two.tre", "((A,B),C);\n(C,(D,A));\n"));
    ASSERT_EQ(data.tree_count(), 2u);
    EXPECT_EQ(data.taxon_set.size(), 4u);
    for (const TreeLca& lca : data.lcas) EXPECT_EQ(lca.taxon_count(), 4u);
    EXPECT_EQ(tree_quartet_type(data, 0, abcd), std::nullopt);  // D missing from tree 0
}

struct NodesCase {
    const char* name;
    std::vector<std::string> lines;
    std::uint64_t tree;
    std::vector<std::int64_t> parents;
    std::vector<double> lengths;
    std::vector<std::int64_t> taxa;  // ids in order of first appearance in the file
};

class TreeNodesOfASet : public testing::TestWithParam<NodesCase> {};

TEST_P(TreeNodesOfASet, GivesParentsLengthsAndTaxaInPreorder) {
    const NodesCase& nodes_case = GetParam();
    const TreeNodes nodes = tree_nodes(data_of(nodes_case.lines), nodes_case.tree);
    EXPECT_EQ(nodes.parents, nodes_case.parents);
    EXPECT_EQ(nodes.lengths, nodes_case.lengths);
    EXPECT_EQ(nodes.taxa, nodes_case.taxa);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, TreeNodesOfASet,
    testing::Values(
        NodesCase{"negative_internal_length",
                  {"((A:1,B:2):-3,C:4,(D:0.5,E:1.5):2);"},
                  0,
                  {-1, 0, 1, 1, 0, 0, 5, 5},
                  {0, -3, 1, 2, 4, 2, 0.5, 1.5},
                  {-1, -1, 0, 1, 2, -1, 3, 4}},
        NodesCase{"second_tree_lacking_taxa",
                  {"((A,B),(C,D));", "((D:1,B:1):0.25,A:2);"},
                  1,
                  {-1, 0, 1, 1, 0},
                  {0, 0.25, 1, 1, 2},
                  {-1, -1, 3, 1, 0}},
        NodesCase{"without_lengths", {"(A,(B,C));"}, 0, {-1, 0, 0, 2, 2}, {0, 0, 0, 0, 0},
                  {-1, 0, -1, 1, 2}},
        NodesCase{"repeated_taxon_on_the_later_leaf", {"(A:1,(A:2,B:3):4);"}, 0,
                  {-1, 0, 0, 2, 2}, {0, 1, 4, 2, 3}, {-1, -1, -1, 0, 1}}),
    [](const testing::TestParamInfo<NodesCase>& param) { return std::string(param.param.name); });

TEST(SingleTreeQueries, InfiniteLengthStaysNonFiniteBelowIt) {
    const TreeNodes nodes = tree_nodes(data_of({"((A:1,B:1):inf,C:1);"}), 0);
    EXPECT_EQ(nodes.lengths[1], std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(nodes.lengths[2]));  // inf - inf: a problem seen at its source first
}

TEST(SingleTreeQueries, TreeNodesOfATreePastTheEndIsFatal) {
    EXPECT_EQ(fatal_message_of([&] { (void)tree_nodes(data_of(two_trees), 2); }),
              messages::index_out_of_bounds(2, 2));
}

}  // namespace
}  // namespace treetally
