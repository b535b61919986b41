// Tests of path distances between taxa: the ten pairs of five taxa in row-major order, and the
// same values from LCAs that the quintet classification already found.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "lca/pair_distances.hpp"
#include "lca/quintet_type.hpp"
#include "lca/tree_lca.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::parse;

PairDistances distances_of(const std::string& text, const std::array<const char*, 5>& names) {
    return test::query_tree(text, names, pairwise_distances);
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
    const TreeLca index = test::index_of(parsed);
    const auto [b, e] = test::positions_of(parsed, index, std::array{"B", "E"});
    EXPECT_EQ(path_distance(index, b, e), 8.5);
    EXPECT_EQ(path_distance(index, e, b), 8.5);
    EXPECT_EQ(path_distance(index, b, b), 0.0);
}

TEST(PairDistances, ReusedLcasGiveTheSameDistancesAndTypes) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 400; ++round) {
        const auto parsed = parse(test::random_newick(rng));
        const TreeLca index = test::index_of(parsed);
        const FivePositions positions = test::random_positions(index, rng);
        PairDistances reused{};
        const auto code = quintet_type_with_distances(index, positions, reused);
        EXPECT_EQ(code, quintet_type(index, positions));
        for (std::size_t i = 0; i < 5; ++i) {
            for (std::size_t j = i + 1; j < 5; ++j) {
                const EulerPos lca = index.lca_position(positions[i], positions[j]);
                const TreeLca::Visit visit = index.lca_visit_in_range(positions[i], positions[j]);
                EXPECT_EQ(visit.position, lca);
                EXPECT_EQ(visit.depth, index.depth_at(lca));
            }
        }
        if (!code) continue;  // the distances are only measured for a classified quintet
        const PairDistances plain = pairwise_distances(index, positions);
        std::size_t pair = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            for (std::size_t j = i + 1; j < 5; ++j, ++pair) {
                // Bit for bit: the same grouping of the same reads.
                EXPECT_EQ(reused[pair], path_distance(index, positions[i], positions[j]));
                EXPECT_EQ(plain[pair], reused[pair]);
            }
        }
    }
}

}  // namespace
}  // namespace treetally
