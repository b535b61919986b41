// Tests of the per-tree LCA index: the Euler tour, the per-taxon positions, the sparse
// range-minimum table with its tie rules, range checks on every read, and the one block of
// arrays through copies and moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "lca/tree_lca.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::index_of;
using test::parse;
using U32 = std::vector<std::uint32_t>;

U32 to_u32(std::span<const std::uint32_t> values) {
    return {values.begin(), values.end()};
}

std::uint32_t lca(const TreeLca& index, std::uint32_t a, std::uint32_t b) {
    return index.lca_position(EulerPos{a}, EulerPos{b}).value;
}

TEST(TreeLca, TourOfABifurcatingRoot) {
    const auto parsed = parse("((A:1,B:2):3,C:4);");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(to_u32(index.euler_nodes()), (U32{0, 1, 2, 1, 3, 1, 0, 4, 0, 0}));
    EXPECT_EQ(to_u32(index.euler_depths()), (U32{0, 1, 2, 1, 2, 1, 0, 1, 0, 0}));
    EXPECT_EQ(index.euler_distances(), (std::vector<double>{0, 3, 4, 3, 5, 3, 0, 4, 0, 0}));
    EXPECT_EQ(to_u32(index.taxon_positions()), (U32{2, 4, 7}));
    EXPECT_EQ(index.tour_length(), 10u);
    EXPECT_EQ(index.column_count(), 8u);
    EXPECT_EQ(index.level_count(), 4u);
    EXPECT_EQ(index.taxon_count(), 3u);
}

TEST(TreeLca, RangeMinimumTableFollowsTheTieRules) {
    // Depths over positions 0-7 are 0 1 2 1 2 1 0 1; building ties take the right entry.
    const TreeLca index = index_of(parse("((A:1,B:2):3,C:4);"));
    const std::vector<U32> levels = {
        {0, 1, 2, 3, 4, 5, 6, 7},
        {0, 1, 3, 3, 5, 6, 6, 0},
        {0, 3, 5, 6, 6, 0, 0, 0},
        {6, 0, 0, 0, 0, 0, 0, 0},
    };
    for (std::size_t level = 0; level < levels.size(); ++level)
        for (std::size_t column = 0; column < 8; ++column)
            EXPECT_EQ(index.range_min_entry(level, column).value, levels[level][column])
                << "level " << level << " column " << column;
}

TEST(TreeLca, LcaPositionsOfABifurcatingRoot) {
    const TreeLca index = index_of(parse("((A:1,B:2):3,C:4);"));
    EXPECT_EQ(lca(index, 2, 4), 3u);
    EXPECT_EQ(index.depth_at(EulerPos{3}), 1u);
    EXPECT_EQ(index.distance_at(EulerPos{3}), 3.0);
    EXPECT_EQ(lca(index, 2, 7), 6u);
    EXPECT_EQ(lca(index, 4, 7), 6u);
    EXPECT_EQ(index.depth_at(EulerPos{6}), 0u);
    // Query ties take the left window's entry: over 1-5 the windows give 3 and 5, both
    // visits of node 1; over 0-7 both windows give 6.
    EXPECT_EQ(lca(index, 1, 5), 3u);
    EXPECT_EQ(lca(index, 0, 7), 6u);
    EXPECT_EQ(lca(index, 0, 1), 0u);
}

TEST(TreeLca, LcaIsSymmetricAndIdempotent) {
    const TreeLca index = index_of(parse("((A,(B,C)),(D,E,(F)),G);"));
    const auto columns = static_cast<std::uint32_t>(index.column_count());
    for (std::uint32_t a = 0; a < columns; ++a) {
        EXPECT_EQ(lca(index, a, a), a);
        for (std::uint32_t b = 0; b < columns; ++b) EXPECT_EQ(lca(index, a, b), lca(index, b, a));
    }
}

TEST(TreeLca, RootWithThreeChildrenKeepsItsLastVisits) {
    const auto parsed = parse("(A,B,C);");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(index.column_count(), 8u);
    EXPECT_EQ(index.level_count(), 4u);
    EXPECT_EQ(to_u32(index.euler_nodes()), (U32{0, 1, 0, 2, 0, 3, 0, 0}));
    EXPECT_EQ(to_u32(index.taxon_positions()), (U32{1, 3, 5}));
    EXPECT_EQ(index.node_at(EulerPos{lca(index, 1, 5)}).value, 0);
    // The final visit of the root (6) and the spare entry (7) lie inside the table.
    EXPECT_EQ(index.node_at(EulerPos{lca(index, 5, 6)}).value, 0);
    EXPECT_EQ(index.node_at(EulerPos{lca(index, 6, 7)}).value, 0);
}

TEST(TreeLca, LoneLeafSitsAtPositionZeroAndCountsAsAbsent) {
    const auto parsed = parse("A;");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(index.taxon_position(TaxonId{0}).value, 0u);
    EXPECT_TRUE(index.taxon_position(TaxonId{0}).is_absent());
    EXPECT_EQ(index.tour_length(), 2u);
    EXPECT_EQ(index.column_count(), 2u);
    EXPECT_EQ(index.level_count(), 2u);
}

TEST(TreeLca, EmptyTreeHasTheSmallestTable) {
    const TreeLca index = TreeLca::build(parse("").tree, 0);
    EXPECT_EQ(index.tour_length(), 2u);
    EXPECT_EQ(index.column_count(), 2u);
    // Both entries are the root; the table's build ties take the right one, the spare entry.
    EXPECT_EQ(lca(index, 0, 1), 1u);
    EXPECT_EQ(index.node_at(EulerPos{1}).value, 0);
}

TEST(TreeLca, TaxonOfTheCollectionMissingFromTheTreeIsAtZero) {
    TaxonSet taxa;
    const Tree first = parse_newick_tree("(A,B,C,D);", taxa);
    const Tree second = parse_newick_tree("((B,D),E);", taxa);
    const TreeLca index = TreeLca::build(first, taxa.size());
    EXPECT_EQ(to_u32(index.taxon_positions()), (U32{1, 3, 5, 7, 0}));
    const TreeLca other = TreeLca::build(second, taxa.size());
    EXPECT_EQ(to_u32(other.taxon_positions()), (U32{0, 2, 0, 4, 7}));
}

TEST(TreeLca, NodesTheChildLinksDoNotReachAreLeftOutOfTheTour) {
    // "," at the root links C only as the root's sibling: the walk never reaches it, so C is
    // absent and the unused tour entries read like visits of the root.
    const auto parsed = parse("(A,B),C;");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(to_u32(index.euler_nodes()), (U32{0, 1, 0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(to_u32(index.euler_depths()), (U32{0, 1, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(to_u32(index.taxon_positions()), (U32{1, 3, 0}));
    EXPECT_EQ(index.column_count(), 8u);  // the root has three children by count

    // "(" after ")" replaces the root's first child, hiding A and B.
    const auto replaced = parse("(A,B)(C);");
    EXPECT_EQ(to_u32(index_of(replaced).taxon_positions()), (U32{0, 0, 1}));
}

TEST(TreeLca, RepeatedTaxonTakesTheLaterLeaf) {
    const auto parsed = parse("(A,(B,A));");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(to_u32(index.euler_nodes()), (U32{0, 1, 0, 2, 3, 2, 4, 2, 0, 0}));
    EXPECT_EQ(index.taxon_position(TaxonId{0}).value, 6u);
}

TEST(TreeLca, WithoutLengthsDistancesAreZeroButDepthsCount) {
    // Zero lengths of either sign store no distances; any other length, NaN too, stores them.
    for (const char* text : {"(((A),B),C);", "(((A:0),B:-0):0.0,C);"}) {
        const TreeLca index = index_of(parse(text));
        EXPECT_FALSE(index.stores_distances()) << text;
        for (double distance : index.euler_distances()) EXPECT_EQ(distance, 0.0);
        EXPECT_FALSE(std::signbit(index.distance_at(index.taxon_position(TaxonId{1}))));
        EXPECT_EQ(index.depth_at(index.taxon_position(TaxonId{0})), 3u);
    }
    EXPECT_TRUE(index_of(parse("((A:0,B:nan),C);")).stores_distances());
}

// A chain of `node_count` nodes: the root, unary nodes, and the leaf A at the bottom, whose
// position, depth and node id are the largest values the index stores.
struct WidthCase {
    std::size_t node_count;
    std::size_t position_bytes;  // positions run to 2 x node_count - 1
    std::size_t node_bytes;      // node ids and depths to node_count - 1
};

class IndexWidths : public ::testing::TestWithParam<WidthCase> {};

TEST_P(IndexWidths, TheNarrowestWidthHoldsTheLargestValues) {
    const std::size_t nodes = GetParam().node_count;
    const auto parsed =
        parse(std::string(nodes - 1, '(') + "A:1" + std::string(nodes - 1, ')') + ";");
    const TreeLca index = index_of(parsed);
    EXPECT_EQ(index.position_bytes(), GetParam().position_bytes);
    EXPECT_EQ(index.node_bytes(), GetParam().node_bytes);
    const EulerPos a = index.taxon_position(TaxonId{0});
    const auto last = static_cast<std::uint32_t>(nodes - 1);
    EXPECT_EQ(a.value, last);
    EXPECT_EQ(index.node_at(a).value, static_cast<std::int32_t>(last));
    EXPECT_EQ(index.depth_at(a), last);
    EXPECT_EQ(index.distance_at(a), 1.0);
    // The last entry of the tour and the table's top level, whatever its entry width.
    const EulerPos spare{static_cast<std::uint32_t>(index.tour_length() - 1)};
    EXPECT_EQ(index.node_at(spare).value, 0);
    EXPECT_EQ(index.node_at(index.lca_position(EulerPos{0}, spare)).value, 0);
    EXPECT_EQ(index.depth_at(index.lca_position(a, spare)), 0u);
    EXPECT_EQ(index.depth_at(index.lca_position(a, EulerPos{last + 1})), last - 1);
}

INSTANTIATE_TEST_SUITE_P(Chains, IndexWidths,
                         ::testing::Values(WidthCase{2, 1, 1}, WidthCase{128, 1, 1},
                                           WidthCase{129, 2, 1}, WidthCase{256, 2, 1},
                                           WidthCase{257, 2, 2}, WidthCase{32768, 2, 2},
                                           WidthCase{32769, 4, 2}, WidthCase{65536, 4, 2},
                                           WidthCase{65537, 4, 4}));

TEST(TreeLca, OneByteReadsAnswerLikeTheIndex) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 50; ++round) {
        const TreeLca index = index_of(parse(test::random_newick(rng)));
        const TreeLca::ByteReads bytes(index);
        const auto columns = static_cast<std::uint32_t>(index.column_count());
        for (std::uint32_t a = 0; a < columns; ++a) {
            const EulerPos p{a};
            EXPECT_EQ(bytes.node_at_in_range(p), index.node_at(p));
            EXPECT_EQ(bytes.depth_at_in_range(p), index.depth_at(p));
            EXPECT_EQ(bytes.distance_at_in_range(p), index.distance_at(p));
            for (std::uint32_t b = 0; b < columns; ++b) {
                EXPECT_EQ(bytes.lca_visit_in_range(p, EulerPos{b}).position,
                          index.lca_position(p, EulerPos{b}));
            }
        }
    }
}

TEST(TreeLca, RootLengthNeverEntersDistances) {
    const TreeLca index = index_of(parse("((A:1,B:2):3,C:4):100;"));
    EXPECT_EQ(index.distance_at(EulerPos{0}), 0.0);
    EXPECT_EQ(index.distance_at(EulerPos{4}), 5.0);
}

TEST(TreeLca, ReadsOutsideTheArraysAreFatal) {
    const TreeLca index = index_of(parse("((A:1,B:2):3,C:4);"));
    EXPECT_EQ(fatal_message_of([&] { index.node_at(EulerPos{10}); }),
              messages::index_out_of_bounds(10, 10));
    EXPECT_EQ(fatal_message_of([&] { index.depth_at(EulerPos{11}); }),
              messages::index_out_of_bounds(10, 11));
    EXPECT_EQ(fatal_message_of([&] { index.distance_at(EulerPos{4000000000u}); }),
              messages::index_out_of_bounds(10, 4000000000u));
    EXPECT_EQ(fatal_message_of([&] { index.taxon_position(TaxonId{3}); }),
              messages::index_out_of_bounds(3, 3));
    // Positions at or past the table's columns are refused too, whatever their order.
    for (std::uint32_t past : {8u, 9u, 10u, 1000u}) {
        EXPECT_EQ(fatal_message_of([&] { index.lca_position(EulerPos{past}, EulerPos{2}); }),
                  messages::index_out_of_bounds(8, past));
        EXPECT_EQ(fatal_message_of([&] { index.lca_position(EulerPos{2}, EulerPos{past}); }),
                  messages::index_out_of_bounds(8, past));
    }
}

TEST(TreeLca, IndexBlockSurvivesCopiesAndMoves) {
    const auto parsed = parse("((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);");
    const TreeLca original = index_of(parsed);
    auto same_arrays = [](const TreeLca& a, const TreeLca& b) {
        return std::ranges::equal(a.taxon_positions(), b.taxon_positions()) &&
               std::ranges::equal(a.euler_nodes(), b.euler_nodes()) &&
               std::ranges::equal(a.euler_depths(), b.euler_depths()) &&
               std::ranges::equal(a.euler_distances(), b.euler_distances()) &&
               a.heap_bytes() == b.heap_bytes();
    };
    TreeLca copy = original;
    EXPECT_TRUE(same_arrays(copy, original));
    const TreeLca& alias = copy;
    copy = alias;  // self-assignment keeps the block
    EXPECT_TRUE(same_arrays(copy, original));
    TreeLca moved = std::move(copy);
    EXPECT_TRUE(same_arrays(moved, original));
    EXPECT_EQ(copy.tour_length(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(copy.heap_bytes(), 0u);   // NOLINT(bugprone-use-after-move)
    const std::array<TaxonId, 2> taxa{TaxonId{0}, TaxonId{99}};
    copy.prefetch_for_query(taxa, true);  // an empty index asks for nothing
    moved.prefetch_for_query(taxa, true);
    EXPECT_EQ(moved.lca_position(EulerPos{2}, EulerPos{4}), EulerPos{3});
}

}  // namespace
}  // namespace treetally
