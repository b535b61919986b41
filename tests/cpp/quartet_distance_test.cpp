// Tests of the quartet distances a species tree is joined from: the sums over a whole table
// against every quartet tallied on its own, the same to the bit on any number of threads and
// blocks, the shares of tied counts, and neighbor joining giving back a tree from its metric.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sets/tree_set_sweeps.hpp"
#include "species/neighbor_joining.hpp"
#include "species/quartet_distance.hpp"
#include "tables/combination_order.hpp"
#include "tables/quartet_formulas.hpp"
#include "tables/topology_table.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

constexpr std::size_t ample = std::size_t{1} << 32;

// The distances and meetings of every quartet of `taxa`, each tallied by a sweep of its own and
// added as the method's definition reads, in double arithmetic.
struct BruteForce {
    std::vector<double> distance;
    std::vector<bool> met;
    std::uint64_t unresolved = 0;
};

BruteForce brute_force(const TreeSetData& data, const std::vector<TaxonId>& taxa, bool weighted) {
    const std::size_t n = taxa.size();
    BruteForce out{std::vector<double>(n * n, 0.0), std::vector<bool>(n * n, false), 0};
    std::vector<std::uint32_t> q(4);
    CombinationOrder order(n, 4);
    order.unrank(0, q);
    do {
        QuartetNames names;
        for (std::size_t k = 0; k < 4; ++k) names[k] = data.taxon_set.taxon_names()[taxa[q[k]].index()];
        const QuartetTally counts = tally_single_quartet(data, names);
        const std::uint64_t best = *std::max_element(counts.begin(), counts.end());
        if (best == 0) {
            ++out.unresolved;
            continue;
        }
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t l = 0; l < 4; ++l)
                if (k != l) out.met[q[k] * n + q[l]] = true;
        const auto ties = static_cast<double>(std::count(counts.begin(), counts.end(), best));
        const std::uint64_t resolved = counts[0] + counts[1] + counts[2];
        double vote = 6.0;
        if (weighted) {
            const double cf = best == resolved ? static_cast<double>(best) / static_cast<double>(best + 1)
                                               : static_cast<double>(best) / static_cast<double>(resolved);
            vote = 3 * best == resolved ? 0.0 : -std::log(1.5 * (1.0 - cf));
        }
        // Split code c puts slot 0 with slot c + 1; every other pair of slots is separated.
        for (std::size_t code = 0; code < 3; ++code) {
            if (counts[code] != best) continue;
            const std::size_t sibling = code + 1;
            for (std::size_t k = 0; k < 4; ++k)
                for (std::size_t l = 0; l < 4; ++l) {
                    const bool together = (k == 0 && l == sibling) || (l == 0 && k == sibling) ||
                                          (k != 0 && l != 0 && k != sibling && l != sibling);
                    if (k != l && !together) out.distance[q[k] * n + q[l]] += vote / ties;
                }
        }
    } while (order.advance(q));
    return out;
}

class SumsOfRandomTrees : public testing::TestWithParam<bool> {};

TEST_P(SumsOfRandomTrees, MatchEveryQuartetTalliedAloneOnAnyThreadsAndBlocks) {
    const bool weighted = GetParam();
    const QuartetWeight weight = weighted ? QuartetWeight::lengths : QuartetWeight::votes;
    std::mt19937_64 rng(weighted ? 29 : 31);
    for (int round = 0; round < 4; ++round) {
        std::vector<std::string> lines;
        // Few trees, so that ties, unresolved quartets and unmet pairs all occur.
        const int trees = round == 0 ? 3 : 40;
        for (int t = 0; t < trees; ++t) lines.push_back(test::random_newick(rng));
        const TreeSetData data = test::data_of(lines);
        std::vector<TaxonId> taxa(data.taxon_set.size());
        for (std::size_t k = 0; k < taxa.size(); ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
        std::shuffle(taxa.begin(), taxa.end(), rng);
        if (taxa.size() < 4) continue;
        const std::size_t n = taxa.size();
        const BruteForce expected = brute_force(data, taxa, weighted);

        const TopologyTable whole(data, taxa, 4, ample);
        const TopologyTable small_blocks(data, taxa, 4, ample, 1);
        const QuartetDistanceSums one = quartet_distance_sums(whole, weight, 1);
        const QuartetDistanceSums three = quartet_distance_sums(small_blocks, weight, 3);
        EXPECT_EQ(one.matrix(), three.matrix());  // to the bit
        // Runs of blocks counted apart (as on several machines), exchanged in the exact form
        // and added up, give the same distances and counts.
        const std::size_t blocks = small_blocks.block_count();
        const std::size_t pairs = QuartetDistanceSums::pair_count(n);
        QuartetDistanceSums joined(n, weight);
        for (const auto& [first, end] : {std::pair{std::size_t{0}, blocks / 3}, {blocks / 3, blocks / 3},
                                         {blocks / 3, blocks}}) {
            QuartetDistanceRun run(small_blocks, weight, 2, first, end);
            while (run.next(std::chrono::milliseconds{20}) || !run.finished()) {
            }
            const QuartetDistanceSums part = run.result();
            std::vector<std::uint8_t> sums(pairs * exact_sum_bytes), met(pairs);
            part.write_exact(sums, met);
            EXPECT_EQ(joined.add_exact(sums, met, part.quartets(), part.unresolved_quartets()), std::nullopt);
        }
        EXPECT_EQ(joined.matrix(), one.matrix());
        EXPECT_EQ(joined.quartets(), one.quartets());
        EXPECT_EQ(joined.unresolved_quartets(), one.unresolved_quartets());
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) EXPECT_EQ(joined.met(i, j), one.met(i, j));
        EXPECT_EQ(one.quartets(), whole.row_count());
        EXPECT_EQ(one.unresolved_quartets(), expected.unresolved);
        EXPECT_EQ(three.unresolved_quartets(), expected.unresolved);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                EXPECT_NEAR(one.distance(i, j), expected.distance[i * n + j], 1e-9) << i << ' ' << j;
                EXPECT_EQ(one.met(i, j), expected.met[i * n + j]) << i << ' ' << j;
                EXPECT_EQ(one.distance(i, j), one.distance(j, i));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Weights, SumsOfRandomTrees, testing::Bool());

TEST(QuartetDistanceSums, TiedTopologiesShareAndOneTopologyCountsAsIfOneTreeDisagreed) {
    const std::array<std::uint32_t, 4> q{0, 1, 2, 3};
    QuartetDistanceSums votes(4, QuartetWeight::votes);
    votes.add(q, std::array<std::uint64_t, 3>{5, 5, 0});  // 01|23 and 02|13 tie
    EXPECT_EQ(votes.distance(0, 3), 6.0);  // separated by both
    EXPECT_EQ(votes.distance(1, 2), 6.0);
    for (const auto& [i, j] : {std::pair{0, 1}, {0, 2}, {1, 3}, {2, 3}}) EXPECT_EQ(votes.distance(i, j), 3.0);
    votes.add(q, std::array<std::uint64_t, 3>{2, 2, 2});  // a three-way tie: 2 per topology
    EXPECT_EQ(votes.distance(0, 3), 10.0);
    EXPECT_EQ(votes.distance(0, 1), 7.0);

    QuartetDistanceSums lengths(4, QuartetWeight::lengths);
    lengths.add(q, std::array<std::uint64_t, 3>{0, 0, 4});  // only 03|12: CF taken as 4/5
    EXPECT_DOUBLE_EQ(lengths.distance(0, 1), -std::log(1.5 / 5.0));
    EXPECT_EQ(lengths.distance(0, 3), 0.0);
    lengths.add(q, std::array<std::uint64_t, 3>{3, 3, 3});  // no length: adds nothing
    lengths.add(q, std::array<std::uint64_t, 3>{0, 0, 0});
    EXPECT_DOUBLE_EQ(lengths.distance(0, 1), -std::log(1.5 / 5.0));
    EXPECT_EQ(lengths.quartets(), 3u);
    EXPECT_EQ(lengths.unresolved_quartets(), 1u);
    EXPECT_TRUE(lengths.met(0, 3));  // resolved, though no length separates them

    EXPECT_THROW(QuartetDistanceSums(std::size_t{1} << 33, QuartetWeight::votes), std::bad_alloc);

    QuartetDistanceSums nothing(5, QuartetWeight::votes);
    nothing.add(std::array<std::uint32_t, 4>{4, 1, 0, 2}, std::array<std::uint64_t, 3>{0, 0, 0});
    EXPECT_FALSE(nothing.met(0, 1));
    EXPECT_FALSE(nothing.met(3, 4));
}

TEST(QuartetDistanceSums, SpreadUnresolvedTreesTieOrShortenButDroppedAddNothing) {
    const std::array<std::uint32_t, 4> q{0, 1, 2, 3};
    QuartetDistanceSums dropped(4, QuartetWeight::votes);
    dropped.add(q, std::array<std::uint64_t, 3>{0, 0, 0}, 3);
    EXPECT_EQ(dropped.unresolved_quartets(), 1u);
    EXPECT_FALSE(dropped.met(0, 1));
    QuartetDistanceSums votes(4, QuartetWeight::votes, true);
    votes.add(q, std::array<std::uint64_t, 3>{0, 0, 0}, 3);  // a three-way tie: 2 per topology
    EXPECT_EQ(votes.unresolved_quartets(), 0u);
    for (const auto& [i, j] : {std::pair{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}})
        EXPECT_EQ(votes.distance(i, j), 4.0);
    votes.add(q, std::array<std::uint64_t, 3>{4, 1, 1}, 9);  // the spread keeps the dominant
    EXPECT_EQ(votes.distance(0, 2), 10.0);
    EXPECT_EQ(votes.distance(0, 1), 4.0);

    QuartetDistanceSums lengths(4, QuartetWeight::lengths, true);
    lengths.add(q, std::array<std::uint64_t, 3>{0, 0, 4}, 1);  // thirds 1, 1, 13: CF 13/15
    EXPECT_DOUBLE_EQ(lengths.distance(0, 1), -std::log(1.5 * 2.0 / 15.0));
    lengths.add(q, std::array<std::uint64_t, 3>{0, 0, 4});  // nothing unresolved: as dropped
    EXPECT_DOUBLE_EQ(lengths.distance(0, 1), -std::log(1.5 * 2.0 / 15.0) - std::log(1.5 / 5.0));
    EXPECT_THROW(lengths.merge(QuartetDistanceSums(4, QuartetWeight::lengths)), FatalError);
}

TEST(QuartetDistanceSums, ExactFormRefusesWhatNoSumsWroteAndKeepsTheSumsWhole) {
    const std::array<std::uint32_t, 4> q{0, 1, 2, 3};
    QuartetDistanceSums sums(4, QuartetWeight::votes);
    sums.add(q, std::array<std::uint64_t, 3>{1, 0, 0});
    std::vector<std::uint8_t> exact(6 * exact_sum_bytes), met(6);
    sums.write_exact(exact, met);
    // Pair (0, 2), the second, is separated: 6 votes, least significant byte first.
    EXPECT_EQ(exact[exact_sum_bytes], 6);
    EXPECT_EQ(std::vector<std::uint8_t>(met.begin(), met.end()), (std::vector<std::uint8_t>{1, 1, 1, 1, 1, 1}));
    const std::vector<double> before = sums.matrix();

    auto refused = [&](std::vector<std::uint8_t> bad_sums, std::vector<std::uint8_t> bad_met, std::uint64_t quartets,
                       std::uint64_t unresolved) {
        return sums.add_exact(bad_sums, bad_met, quartets, unresolved).value_or("<added>");
    };
    EXPECT_EQ(refused(std::vector<std::uint8_t>(5 * exact_sum_bytes), std::vector<std::uint8_t>(6), 0, 0),
              "exact quartet distance sums of 4 taxa hold 6 pairs");
    EXPECT_EQ(refused(exact, std::vector<std::uint8_t>(5), 0, 0), "exact quartet distance sums of 4 taxa hold 6 pairs");
    EXPECT_EQ(refused(exact, {0, 0, 0, 0, 0, 2}, 1, 0), "exact quartet distance sums mark a pair's meeting by 0 or 1");
    EXPECT_EQ(refused(exact, met, 1, 2), "exact quartet distance sums count more unresolved quartets than quartets");
    EXPECT_EQ(refused(exact, met, ~std::uint64_t{0}, 0), "exact quartet distance sums count more quartets than 64 bits hold");
    std::vector<std::uint8_t> huge = exact;
    huge[6 * exact_sum_bytes - 1] = 0x80;  // the last pair's sum at 2^127
    EXPECT_EQ(refused(huge, met, 1, 0), "exact quartet distance sums beyond what 127 bits hold");
    huge = exact;  // pair (0, 2) at 2^127 - 1: below 2^127, but beyond it once its 6 are added
    std::fill(huge.begin() + exact_sum_bytes, huge.begin() + 2 * exact_sum_bytes - 1, std::uint8_t{0xff});
    huge[2 * exact_sum_bytes - 1] = 0x7f;
    EXPECT_EQ(refused(huge, met, 1, 0), "exact quartet distance sums beyond what 127 bits hold");
    EXPECT_EQ(sums.matrix(), before);  // every refusal left them as they were
    EXPECT_EQ(sums.quartets(), 1u);

    EXPECT_EQ(sums.add_exact(exact, met, 1, 0), std::nullopt);
    EXPECT_EQ(sums.distance(0, 2), 12.0);
    EXPECT_EQ(sums.quartets(), 2u);
    QuartetDistanceSums other(5, QuartetWeight::votes);
    EXPECT_EQ(other.add_exact(exact, met, 1, 0), "exact quartet distance sums of 5 taxa hold 10 pairs");
    EXPECT_EQ(QuartetDistanceSums::pair_count(0), 0u);
    EXPECT_EQ(QuartetDistanceSums::pair_count(1), 0u);
}

// The path lengths between the leaves of an unrooted tree given as parent links and edge
// lengths (node k < n a taxon, the last node the root).
std::vector<double> path_lengths(const std::vector<std::int64_t>& parent, const std::vector<double>& length,
                                 std::size_t n) {
    auto to_root = [&](std::size_t node) {
        std::vector<std::pair<std::size_t, double>> path;  // ancestors with their distance
        double total = 0.0;
        for (auto k = static_cast<std::int64_t>(node); k >= 0; k = parent[static_cast<std::size_t>(k)]) {
            path.emplace_back(static_cast<std::size_t>(k), total);
            total += length[static_cast<std::size_t>(k)];
        }
        return path;
    };
    std::vector<double> d(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const auto a = to_root(i), b = to_root(j);
            for (const auto& [node, up] : a) {
                const auto meet = std::find_if(b.begin(), b.end(), [&](const auto& p) { return p.first == node; });
                if (meet != b.end()) {
                    d[i * n + j] = up + meet->second;
                    break;
                }
            }
        }
    return d;
}

TEST(NeighborJoining, GivesBackRandomTreesFromTheirPathLengths) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lengths(0.1, 2.0);
    for (std::size_t n : {3u, 4u, 5u, 9u, 20u}) {
        // A random tree: join random pairs of the nodes still free, the last three at a centre.
        std::vector<std::int64_t> parent(2 * n - 2, -1);
        std::vector<double> length(2 * n - 2, 0.0);
        std::vector<std::size_t> free(n);
        for (std::size_t k = 0; k < n; ++k) free[k] = k;
        std::size_t next = n;
        while (free.size() > 3) {
            std::shuffle(free.begin(), free.end(), rng);
            for (int side = 0; side < 2; ++side) {
                parent[free.back()] = static_cast<std::int64_t>(next);
                length[free.back()] = lengths(rng);
                free.pop_back();
            }
            free.push_back(next++);
        }
        for (const std::size_t k : free) {
            parent[k] = static_cast<std::int64_t>(next);
            length[k] = lengths(rng);
        }
        const std::vector<double> d = path_lengths(parent, length, n);
        const JoinedTree joined = neighbor_joining(d, n);
        ASSERT_EQ(joined.parent.size(), 2 * n - 2);
        EXPECT_EQ(joined.parent.back(), -1);
        const std::vector<double> again = path_lengths(joined.parent, joined.length, n);
        for (std::size_t k = 0; k < n * n; ++k) EXPECT_NEAR(again[k], d[k], 1e-9);
    }
}

TEST(NeighborJoining, TiesGoToThePairMetFirstAndFewTaxaAreRefused) {
    // Every pair at distance 2: any join fits; the first pair (0, 1) is joined.
    std::vector<double> d(16, 2.0);
    for (std::size_t k = 0; k < 4; ++k) d[k * 4 + k] = 0.0;
    const JoinedTree joined = neighbor_joining(d, 4);
    EXPECT_EQ(joined.parent[0], 4);
    EXPECT_EQ(joined.parent[1], 4);
    EXPECT_EQ(joined.parent[2], 5);
    EXPECT_EQ(test::fatal_message_of([] { neighbor_joining(std::vector<double>(4, 1.0), 2); }),
              "a tree is joined from at least three taxa, not 2");
    EXPECT_EQ(test::fatal_message_of([] { neighbor_joining(std::vector<double>(8, 1.0), 3); }),
              "a distance matrix of 3 taxa holds n * n values");
}

}  // namespace
}  // namespace treetally
