// Tests of the sweeps over all trees of a set: quintet and quartet tallies, and the shares
// and relative path lengths per quintet type.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "base/messages.hpp"
#include "quintet_rows.hpp"
#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::data_of;
using test::fatal_message_of;

constexpr QuintetNames abcde = {"a", "b", "c", "d", "e"};
constexpr QuartetNames abcd = {"a", "b", "c", "d"};

// Type 4 is ((0,2),3,(1,4)); the second tree doubles every length of the first.
const std::vector<std::string> two_of_type_four_and_a_star = {
    "((a:1,c:1):1,d:1,(b:1,e:1):1);",
    "(a,b,c,d,e);",
    "((a:2,c:2):2,d:2,(b:2,e:2):2);",
};

TEST(TreeSetSweeps, TallyCountsEachResolvedTreeOnce) {
    const TreeSetData data = data_of(two_of_type_four_and_a_star);
    QuintetTally expected{};
    expected[4] = 2;
    EXPECT_EQ(tally_single_quintet(data, abcde), expected);
    EXPECT_EQ(tally_single_quartet(data, abcd), (QuartetTally{0, 2, 0}));
}

TEST(TreeSetSweeps, SharesAndRelativePathLengths) {
    const TimeTable table =
        coalescence_times_by_topology(data_of(two_of_type_four_and_a_star), abcde);
    TimeTable expected{};
    expected[4] = 1.0;
    // Summed path lengths (a,b) (a,c) (a,d) (a,e) (b,c) (b,d) (b,e) (c,d) (c,e) (d,e) are
    // 12 6 9 12 12 9 6 9 12 9, of total 96.
    const std::array<double, 10> block = {0.125,   0.0625, 0.09375, 0.125, 0.125,
                                          0.09375, 0.0625, 0.09375, 0.125, 0.09375};
    for (std::size_t p = 0; p < 10; ++p) expected[15 + 10 * 4 + p] = block[p];
    EXPECT_EQ(table, expected);
}

TEST(TreeSetSweeps, SharesAreFractionsOfClassifiedTrees) {
    const TreeSetData data = data_of({"((a,b),c,(d,e));", "((a,b),c,(d,e));", "((a,c),b,(d,e));",
                                      "(a,b,c,d,e);", "((a,b),c,d);", "((a,b),(c,(d,x)),e);"});
    const TimeTable table = coalescence_times_by_topology(data, abcde);
    EXPECT_EQ(table[0], 0.5);
    EXPECT_EQ(table[3], 0.25);
    EXPECT_EQ(table[2], 0.25);
    const double share_sum = std::accumulate(table.begin(), table.begin() + 15, 0.0);
    EXPECT_EQ(share_sum, 1.0);
    // No lengths anywhere: every block stays undivided at zero.
    for (std::size_t i = 15; i < table.size(); ++i) EXPECT_EQ(table[i], 0.0) << i;
}

TEST(TreeSetSweeps, BlockOfAnOccurringTypeSumsToOne) {
    const TreeSetData data =
        data_of({"((a:0.1,b:0.7):0.3,c:1.1,(d:0.01,e:2.5):0.9);",
                 "((a:3,b:1e-5):2,c:0.3333,(d:7,e:0.125):1);", "((a:1,b:1):1,c:1,(d:1,e:1):1);"});
    const TimeTable table = coalescence_times_by_topology(data, abcde);
    EXPECT_EQ(table[0], 1.0);
    const double block_sum = std::accumulate(table.begin() + 15, table.begin() + 25, 0.0);
    EXPECT_NEAR(block_sum, 1.0, 1e-12);
    for (std::size_t i = 25; i < table.size(); ++i) EXPECT_EQ(table[i], 0.0) << i;
}

TEST(TreeSetSweeps, BlockIsNotDividedWhenItsSumIsNotPositive) {
    // All lengths zero: the share counts, the block stays at zero (no 0/0).
    const TimeTable zeros =
        coalescence_times_by_topology(data_of({"((a:0,c:0):0,d:0,(b:0,e:0):0);"}), abcde);
    EXPECT_EQ(zeros[4], 1.0);
    for (std::size_t i = 15; i < zeros.size(); ++i) EXPECT_EQ(zeros[i], 0.0) << i;

    // Negative lengths: the block keeps its raw, undivided sums.
    const TimeTable negative =
        coalescence_times_by_topology(data_of({"((a:-1,c:-1):-1,d:-1,(b:-1,e:-1):-1);"}), abcde);
    const std::array<double, 10> raw = {-4, -2, -3, -4, -4, -3, -2, -3, -4, -3};
    for (std::size_t p = 0; p < 10; ++p) EXPECT_EQ(negative[15 + 40 + p], raw[p]) << p;

    // A NaN length makes the sum NaN, which is not greater than zero either.
    const TimeTable with_nan =
        coalescence_times_by_topology(data_of({"((a:nan,c:1):1,d:1,(b:1,e:1):1);"}), abcde);
    EXPECT_EQ(with_nan[4], 1.0);
    EXPECT_TRUE(std::isnan(with_nan[15 + 40 + 0]));
    EXPECT_EQ(with_nan[15 + 40 + 4], 4.0);  // (b, c) avoids a, so it stays a plain sum
}

TEST(TreeSetSweeps, TreesLackingATaxonAreSkipped) {
    const TreeSetData data = data_of(
        {"((a,b),c,(d,e));", "((a,b),c,(d,x));", "A;", "", "((a,b),(c,d));", "((a,c),(b,d),e);"});
    QuintetTally quintets{};
    quintets[0] = 1;
    quintets[test::quintet_code_with(0, 2, 4)] = 1;
    EXPECT_EQ(tally_single_quintet(data, abcde), quintets);
    EXPECT_EQ(tally_single_quartet(data, abcd), (QuartetTally{3, 1, 0}));
}

TEST(TreeSetSweeps, NoTreeHoldingAllTaxaGivesZeros) {
    const TreeSetData data = data_of({"((a,b),c,(d,x));", "((a,b),c,(y,e));", "(d,e,c,b);"});
    EXPECT_EQ(tally_single_quintet(data, abcde), QuintetTally{});
    EXPECT_EQ(tally_single_quartet(data, {"a", "b", "x", "e"}), QuartetTally{});
    EXPECT_EQ(coalescence_times_by_topology(data, abcde), TimeTable{});
}

TEST(TreeSetSweeps, UnknownNameStopsBeforeAnyTree) {
    const TreeSetData data = data_of({"((a,b),c,(d,e));"});
    EXPECT_EQ(fatal_message_of([&] {
                  tally_single_quintet(data, {"a", "b", "c", "d", "z"});
              }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] {
                  tally_single_quartet(data, {"z", "b", "c", "d"});
              }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] {
                  coalescence_times_by_topology(data, {"a", "b", "c", "d", "A"});
              }),
              messages::taxon_not_found);
}

TEST(TreeSetSweeps, UnknownNameFailsEvenWithoutTreesToVisit) {
    // A taxon set with names but no trees: the lookup cannot be skipped by an empty sweep.
    TreeCollection collection;
    parse_newick_tree("((a,b),c,(d,e));", collection.taxon_set);
    const TreeSetData data = index_tree_collection(std::move(collection));
    ASSERT_EQ(data.tree_count(), 0u);
    EXPECT_EQ(tally_single_quintet(data, abcde), QuintetTally{});
    EXPECT_EQ(fatal_message_of([&] {
                  tally_single_quintet(data, {"a", "b", "c", "d", "q"});
              }),
              messages::taxon_not_found);
}

TEST(TreeSetSweeps, EmptyCollectionKnowsNoName) {
    const TreeSetData data = data_of({});
    EXPECT_EQ(fatal_message_of([&] { tally_single_quintet(data, abcde); }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] { tally_single_quartet(data, abcd); }),
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] { coalescence_times_by_topology(data, abcde); }),
              messages::taxon_not_found);
}

TEST(TreeSetSweeps, RepeatedNameIsClassifiedLikeAnyOtherSlot) {
    const TreeSetData data = data_of({"(((a,b),c),(d,e));"});
    QuintetTally expected{};
    expected[0] = 1;
    EXPECT_EQ(tally_single_quintet(data, {"a", "a", "b", "c", "d"}), expected);
    EXPECT_EQ(tally_single_quartet(data, {"a", "a", "b", "c"}), (QuartetTally{1, 0, 0}));
}

TEST(TreeSetSweeps, ReorderingNamesMovesCountsByTheTable) {
    const TreeSetData data =
        data_of({"((a,b),c,(d,e));", "((a,c),b,(d,e));", "((a,c),b,(d,e));", "((b,d),(a,e),c);",
                 "(((e,c),a),(b,d));", "(((e,c),a),(b,d));", "(((e,c),a),(b,d));", "(a,b,c,d,e);",
                 "((a,d),e,(b,c));"});
    const QuintetTally base = tally_single_quintet(data, abcde);
    const std::array<std::array<int, 5>, 4> orders = {
        {{4, 3, 2, 1, 0}, {1, 0, 2, 3, 4}, {2, 4, 1, 0, 3}, {3, 0, 4, 2, 1}}};
    for (const auto& old_slot_of : orders) {
        QuintetNames names;
        for (int k = 0; k < 5; ++k) names[k] = abcde[old_slot_of[k]];
        QuintetTally expected{};
        for (std::uint8_t code = 0; code < 15; ++code)
            expected[test::permuted_quintet_code(code, old_slot_of)] += base[code];
        const QuintetTally moved = tally_single_quintet(data, names);
        EXPECT_EQ(moved, expected);
        EXPECT_EQ(std::accumulate(moved.begin(), moved.end(), std::uint64_t{0}), 8u);
    }
    // Quartets: swapping the names of slots 1 and 2 swaps codes 0 and 1.
    const QuartetTally quartets = tally_single_quartet(data, abcd);
    const QuartetTally swapped = tally_single_quartet(data, {"a", "c", "b", "d"});
    EXPECT_EQ(swapped, (QuartetTally{quartets[1], quartets[0], quartets[2]}));
}

}  // namespace
}  // namespace treetally
