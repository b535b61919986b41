// Tests of the deepest-pair search shared by the classifiers: the first of the strictly
// deepest records wins, deepest records meeting at one node mean "unresolved", and the scan
// agrees with a running tally of LCA nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <span>
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

// deepest_pair over the records of the given slot pairs of `text`.
std::optional<PairLca> deepest_of(const char* text, const std::vector<std::pair<int, int>>& pairs) {
    const auto parsed = test::parse(text);
    const TreeLca index = test::index_of(parsed);
    return deepest_pair(index, records_of(parsed, index, pairs));
}

TEST(DeepestPair, RecordCarriesTheLcaAndItsDepth) {
    const auto parsed = test::parse("((a,b),(c,(d,e)));");
    const TreeLca index = test::index_of(parsed);
    const auto records = records_of(parsed, index, {{2, 3}});
    EXPECT_EQ(records[0].first, 2);
    EXPECT_EQ(records[0].second, 3);
    EXPECT_EQ(records[0].depth, 1u);
    EXPECT_EQ(index.node_at(records[0].lca_pos).value, 4);
}

TEST(DeepestPair, FirstOfTheEquallyDeepAtDifferentNodesWins) {
    const auto best = deepest_of("((a,b),(c,d));", all_pairs);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 0);
    EXPECT_EQ(best->second, 1);
    const auto reversed = deepest_of("((a,b),(c,d));", {{2, 3}, {0, 1}});
    ASSERT_TRUE(reversed.has_value());
    EXPECT_EQ(reversed->first, 2);
}

TEST(DeepestPair, StrictlyDeeperRecordWinsWherever) {
    const auto best = deepest_of("(a,(b,(c,d)));", all_pairs);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 2);
    EXPECT_EQ(best->second, 3);
    EXPECT_EQ(best->depth, 2u);
}

TEST(DeepestPair, DeepestRecordsSharingANodeAreUnresolved) {
    for (const char* text :
         {"(a,b,c,d);", "((a,b,c),d);", "(a,(b,c,d));", "((a,b),(c,d,x),(a));"}) {
        const auto best = deepest_of(text, all_pairs);
        EXPECT_EQ(best.has_value(), std::string(text) == "((a,b),(c,d,x),(a));") << text;
    }
}

TEST(DeepestPair, TwoDeepestRecordsAtOneNodeAreEnough) {
    // (a,c) and (b,c) both meet at the node above (a,b) and c: no cherry among these two.
    EXPECT_EQ(deepest_of("(((a,b),c),d);", {{0, 2}, {1, 2}}), std::nullopt);
    EXPECT_EQ(deepest_of("(((a,b),c),d);", {{0, 3}, {0, 2}, {1, 2}}), std::nullopt);
}

TEST(DeepestPair, ShallowerSharedNodeDoesNotMatter) {
    // (c,d) is strictly deepest; the pairs meeting at the root do not count.
    const auto best = deepest_of("(a,b,(c,d));", all_pairs);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->first, 2);
}

// The deepest-pair search as first described: a running tally of LCA nodes, reset at each
// strictly deeper record; unresolved when any node is counted twice.
std::optional<PairLca> running_tally_deepest_pair(const TreeLca& index,
                                                  std::span<const PairLca> records) {
    PairLca best = records[0];
    std::vector<std::pair<NodeId, int>> tally{{index.node_at(best.lca_pos), 1}};
    for (const PairLca& record : records.subspan(1)) {
        if (record.depth > best.depth) {
            best = record;
            tally.assign({{index.node_at(record.lca_pos), 1}});
        } else if (record.depth == best.depth) {
            const NodeId node = index.node_at(record.lca_pos);
            auto counted = std::find_if(tally.begin(), tally.end(),
                                        [&](const auto& entry) { return entry.first == node; });
            if (counted == tally.end()) {
                tally.emplace_back(node, 1);
            } else {
                ++counted->second;
            }
        }
    }
    for (const auto& entry : tally) {
        if (entry.second >= 2) return std::nullopt;
    }
    return best;
}

TEST(DeepestPair, ScanMatchesTheRunningTally) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 400; ++round) {
        const auto parsed = test::parse(test::random_newick(rng));
        const TreeLca index = test::index_of(parsed);
        const auto positions = test::random_positions(index, rng);
        std::array<PairLca, 13> records;
        std::size_t count = 0;
        for (std::uint8_t i = 0; i < 5; ++i) {
            for (auto j = static_cast<std::uint8_t>(i + 1); j < 5; ++j)
                records[count++] = pair_lca_in_range(index, positions[i], positions[j], i, j);
        }
        for (std::size_t used = 1; used <= count; ++used) {
            const auto fast = deepest_pair(index, std::span(records.data(), used));
            const auto plain = running_tally_deepest_pair(index, std::span(records.data(), used));
            ASSERT_EQ(fast.has_value(), plain.has_value());
            if (fast) {
                EXPECT_EQ(fast->lca_pos, plain->lca_pos);
                EXPECT_EQ(fast->first, plain->first);
                EXPECT_EQ(fast->second, plain->second);
            }
        }
    }
}

}  // namespace
}  // namespace treetally
