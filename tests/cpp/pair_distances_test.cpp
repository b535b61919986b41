// Tests of path distances between taxa: the ten pairs of five taxa in row-major order.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "lca/pair_distances.hpp"
#include "lca/tree_lca.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::parse;

PairDistances distances_of(const std::string& text, const std::array<const char*, 5>& names) {
    const auto parsed = parse(text);
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    FivePositions positions;
    for (std::size_t k = 0; k < 5; ++k)
        positions[k] = index.taxon_position(parsed.taxa.id_of(names[k]));
    return pairwise_distances(index, positions);
}

const std::string five_taxa = "((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);";

TEST(PairDistances, TenPairsInRowMajorOrder) {
    EXPECT_EQ(distances_of(five_taxa, {"A", "B", "C", "D", "E"}),
              (PairDistances{3.0, 8.0, 6.5, 7.5, 9.0, 7.5, 8.5, 6.5, 7.5, 2.0}));
}

TEST(PairDistances, ReversedNamesReverseThePairs) {
    EXPECT_EQ(distances_of(five_taxa, {"E", "D", "C", "B", "A"}),
              (PairDistances{2.0, 7.5, 8.5, 7.5, 6.5, 7.5, 6.5, 9.0, 8.0, 3.0}));
}

TEST(PairDistances, TreeWithoutLengthsGivesZeros) {
    EXPECT_EQ(distances_of("((A,B),C,(D,E));", {"A", "B", "C", "D", "E"}), PairDistances{});
}

TEST(PairDistances, RootLengthChangesNothing) {
    EXPECT_EQ(distances_of("((A:1,B:2):3,C:4,(D:0.5,E:1.5):2):10;", {"A", "B", "C", "D", "E"}),
              distances_of(five_taxa, {"A", "B", "C", "D", "E"}));
}

TEST(PairDistances, RepeatedTaxonIsZeroFromItself) {
    const PairDistances d = distances_of(five_taxa, {"A", "A", "C", "D", "E"});
    EXPECT_EQ(d[0], 0.0);
    EXPECT_EQ(d[1], 8.0);  // (A, C)
    EXPECT_EQ(d[4], 8.0);  // (A, C) again from slot 1
}

TEST(PairDistances, UnaryNodesAddTheirLengths) {
    EXPECT_EQ(distances_of("(((A:1):2,B:0.25):4,((C:1):1):1,D,E:8);", {"A", "B", "C", "D", "E"}),
              (PairDistances{3.25, 10.0, 7.0, 15.0, 7.25, 4.25, 12.25, 3.0, 11.0, 8.0}));
}

TEST(PairDistances, PathDistanceOfTwoPositions) {
    const auto parsed = parse(five_taxa);
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const EulerPos b = index.taxon_position(parsed.taxa.id_of("B"));
    const EulerPos e = index.taxon_position(parsed.taxa.id_of("E"));
    EXPECT_EQ(path_distance(index, b, e), 8.5);
    EXPECT_EQ(path_distance(index, e, b), 8.5);
    EXPECT_EQ(path_distance(index, b, b), 0.0);
}

}  // namespace
}  // namespace treetally
