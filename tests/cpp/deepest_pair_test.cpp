// Tests of the deepest-pair search shared by the classifiers: the first of the strictly
// deepest records wins, and deepest records meeting at one node mean "unresolved".
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "lca/deepest_pair.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

// The records of the given slot pairs over the leaves a, b, c, d (slots 0-3) of `text`.
std::vector<PairLca> records_of(const test::ParsedTree& parsed, const TreeLca& index,
                                const std::vector<std::pair<int, int>>& pairs) {
    const char* names[] = {"a", "b", "c", "d"};
    std::vector<PairLca> records;
    for (const auto& [i, j] : pairs) {
        const EulerPos pi = index.taxon_position(parsed.taxa.id_of(names[i]));
        const EulerPos pj = index.taxon_position(parsed.taxa.id_of(names[j]));
        records.push_back(
            pair_lca(index, pi, pj, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(j)));
    }
    return records;
}

const std::vector<std::pair<int, int>> all_pairs = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};

TEST(DeepestPair, RecordCarriesTheLcaAndItsDepth) {
    const auto parsed = test::parse("((a,b),(c,(d,e)));");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const auto records = records_of(parsed, index, {{2, 3}});
    EXPECT_EQ(records[0].first, 2);
    EXPECT_EQ(records[0].second, 3);
    EXPECT_EQ(records[0].depth, 1u);
    EXPECT_EQ(index.node_at(records[0].lca_pos).value, 4);
}

TEST(DeepestPair, FirstOfTheEquallyDeepAtDifferentNodesWins) {
    const auto parsed = test::parse("((a,b),(c,d));");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const auto best = deepest_pair(index, records_of(parsed, index, all_pairs));
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 0);
    EXPECT_EQ(best->second, 1);
    const auto reversed = deepest_pair(index, records_of(parsed, index, {{2, 3}, {0, 1}}));
    ASSERT_TRUE(reversed.has_value());
    EXPECT_EQ(reversed->first, 2);
}

TEST(DeepestPair, StrictlyDeeperRecordWinsWherever) {
    const auto parsed = test::parse("(a,(b,(c,d)));");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const auto best = deepest_pair(index, records_of(parsed, index, all_pairs));
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 2);
    EXPECT_EQ(best->second, 3);
    EXPECT_EQ(best->depth, 2u);
}

TEST(DeepestPair, DeepestRecordsSharingANodeAreUnresolved) {
    for (const char* text :
         {"(a,b,c,d);", "((a,b,c),d);", "(a,(b,c,d));", "((a,b),(c,d,x),(a));"}) {
        const auto parsed = test::parse(text);
        const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
        const auto best = deepest_pair(index, records_of(parsed, index, all_pairs));
        EXPECT_EQ(best.has_value(), std::string(text) == "((a,b),(c,d,x),(a));") << text;
    }
}

TEST(DeepestPair, TwoDeepestRecordsAtOneNodeAreEnough) {
    // (a,c) and (b,c) both meet at the node above (a,b) and c: no cherry among these two.
    const auto parsed = test::parse("(((a,b),c),d);");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    EXPECT_EQ(deepest_pair(index, records_of(parsed, index, {{0, 2}, {1, 2}})), std::nullopt);
    EXPECT_EQ(deepest_pair(index, records_of(parsed, index, {{0, 3}, {0, 2}, {1, 2}})),
              std::nullopt);
}

TEST(DeepestPair, ShallowerSharedNodeDoesNotMatter) {
    // (c,d) is strictly deepest; the pairs meeting at the root do not count.
    const auto parsed = test::parse("(a,b,(c,d));");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const auto best = deepest_pair(index, records_of(parsed, index, all_pairs));
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 2);
}

}  // namespace
}  // namespace treetally
