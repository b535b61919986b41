// Tests of the NANUQ and TINNiK distances: each class's quartet distance, ties sharing, the
// distance of a tree-like set being a tree metric of its tree, and the sums the same to the bit
// on any number of threads and blocks as every quartet classed alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "networks/blob_quartets.hpp"
#include "networks/network_distance.hpp"
#include "networks/quartet_classes.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "tables/combination_order.hpp"
#include "tables/topology_table.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

constexpr std::size_t ample = std::size_t{1} << 32;
constexpr std::array<std::uint32_t, 4> q{0, 1, 2, 3};
// The pairs in the order of quartet_additions.
constexpr std::array<std::array<std::size_t, 2>, 6> pairs{{{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}};

NetworkDistanceSums one_quartet(NetworkMethod method, std::array<std::uint64_t, 3> counts,
                                std::uint64_t unresolved = 0, bool spread = false) {
    NetworkDistanceSums sums(4, NetworkLevels{method, 0.05, 0.95, spread});
    sums.add(q, counts, unresolved);
    return sums;
}

// d = 2 rho + 2n - 4 over one quartet of four taxa: 4 + 2 rho.
std::array<double, 6> distances_of(const NetworkDistanceSums& sums) {
    std::array<double, 6> out{};
    for (std::size_t k = 0; k < 6; ++k) out[k] = sums.distance(pairs[k][0], pairs[k][1]);
    return out;
}

struct ClassCase {
    NetworkMethod method;
    std::array<std::uint64_t, 3> counts;
    QuartetClass kind;
    std::array<double, 6> distances;  // (0,1) (0,2) (0,3) (1,2) (1,3) (2,3)
};

// Named by its counts, so that the test's name never prints the case's padding bytes.
void PrintTo(const ClassCase& c, std::ostream* out) {
    *out << c.counts[0] << "," << c.counts[1] << "," << c.counts[2];
}

class OneQuartet : public testing::TestWithParam<ClassCase> {};

TEST_P(OneQuartet, AddsItsClassQuartetDistance) {
    const ClassCase& c = GetParam();
    const NetworkDistanceSums sums = one_quartet(c.method, c.counts);
    EXPECT_EQ(sums.classes()[static_cast<std::size_t>(c.kind)], 1u);
    EXPECT_EQ(distances_of(sums), c.distances);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(sums.distance(i, j), sums.distance(j, i));
}

INSTANTIATE_TEST_SUITE_P(
    Classes, OneQuartet,
    testing::Values(
        // A tree 01|23: the cherries 4, the separated pairs 6.
        ClassCase{NetworkMethod::nanuq, {90, 5, 5}, QuartetClass::tree, {4, 6, 6, 6, 6, 4}},
        ClassCase{NetworkMethod::tinnik, {5, 5, 90}, QuartetClass::tree, {6, 6, 4, 4, 6, 6}},
        // A cycle whose least topology is 03|12: those corners are opposite, 6; the sides 5.
        ClassCase{NetworkMethod::nanuq, {45, 45, 10}, QuartetClass::cycle, {5, 5, 6, 6, 5, 5}},
        ClassCase{NetworkMethod::nanuq, {10, 45, 45}, QuartetClass::cycle, {6, 5, 5, 5, 5, 6}},
        // TINNiK's B-quartet and every star: 5 to each pair.
        ClassCase{NetworkMethod::tinnik, {45, 45, 10}, QuartetClass::cycle, {5, 5, 5, 5, 5, 5}},
        ClassCase{NetworkMethod::nanuq, {34, 33, 33}, QuartetClass::star, {5, 5, 5, 5, 5, 5}},
        ClassCase{NetworkMethod::nanuq, {0, 0, 0}, QuartetClass::empty, {5, 5, 5, 5, 5, 5}}));

TEST(QuartetClasses, LevelsDecideWithStarFirstAndTiesShare) {
    const QuartetPValues both{0.01, 0.01};
    EXPECT_EQ(quartet_class(both, 0.05, 0.95), QuartetClass::cycle);
    EXPECT_EQ(quartet_class(both, 0.01, 0.95), QuartetClass::tree);  // p_T3 < alpha, strictly
    EXPECT_EQ(quartet_class(both, 0.05, 0.01), QuartetClass::cycle);  // p_star > beta, strictly
    EXPECT_EQ(quartet_class(QuartetPValues{0.01, 0.99}, 0.05, 0.95), QuartetClass::star);
    EXPECT_EQ(quartet_class(QuartetPValues{NAN, NAN}, 0.05, 0.95), QuartetClass::empty);
    // Two largest tied in a tree: each separates its pairs by half.
    const auto tied = quartet_additions(NetworkMethod::nanuq, QuartetClass::tree, std::array<std::uint64_t, 3>{5, 5, 1});
    EXPECT_EQ(tied, (std::array<std::int64_t, 6>{6, 6, 12, 12, 6, 6}));
    // Two smallest tied in a cycle: the extra half is shared by both pairs of corners.
    const auto cycle = quartet_additions(NetworkMethod::nanuq, QuartetClass::cycle, std::array<std::uint64_t, 3>{9, 1, 1});
    EXPECT_EQ(cycle, (std::array<std::int64_t, 6>{6, 9, 9, 9, 9, 6}));
    const auto three = quartet_additions(NetworkMethod::nanuq, QuartetClass::cycle, std::array<std::uint64_t, 3>{2, 2, 2});
    EXPECT_EQ(three, (std::array<std::int64_t, 6>{8, 8, 8, 8, 8, 8}));
}

TEST(QuartetClasses, ClassingFromCountsAgreesWithBothPValues) {
    for (const std::array<std::uint64_t, 3> counts :
         {std::array<std::uint64_t, 3>{0, 0, 0}, {5, 5, 5}, {30, 1, 0}, {45, 45, 10}, {40, 31, 29}, {3, 1, 1}})
        for (const std::uint64_t unresolved : {0, 7})
            for (const bool spread : {false, true})
                for (const double beta : {0.05, 0.5, 0.95})
                    EXPECT_EQ(classify_quartet(counts, unresolved, spread, 0.05, beta),
                              quartet_class(quartet_p_values(counts, unresolved, spread), 0.05, beta));
}

TEST(QuartetClasses, SpreadUnresolvedTreesPullTowardsTheStar) {
    // 3 trees 01|23 and 2 others: a tree when dropped; 90 unresolved trees spread a third to
    // each topology leave counts (33, 31, 31) that the star test no longer rejects.
    EXPECT_EQ(one_quartet(NetworkMethod::nanuq, {3, 1, 1}, 90).classes()[2], 1u);
    EXPECT_EQ(one_quartet(NetworkMethod::nanuq, {3, 1, 1}, 90, true).classes()[1], 1u);
    // Only unresolved trees: empty when dropped, a star when spread.
    EXPECT_EQ(one_quartet(NetworkMethod::nanuq, {0, 0, 0}, 5).classes()[0], 1u);
    EXPECT_EQ(one_quartet(NetworkMethod::nanuq, {0, 0, 0}, 5, true).classes()[1], 1u);
}

TEST(NetworkDistanceSums, TreeLikeTreesGiveTheTreeMetricAndAnyThreadsTheSameBits) {
    // Every gene tree is ((a,b),c,(d,(e,f))): every quartet a tree, and d(x, y) is twice the
    // quartets separating x and y plus 2n - 4, additive on the tree.
    const std::vector<std::string> lines(30, "((a,b),c,(d,(e,f)));");
    const TreeSetData data = test::data_of(lines);
    std::vector<TaxonId> taxa(data.taxon_set.size());
    for (std::size_t k = 0; k < taxa.size(); ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
    const TopologyTable whole(data, taxa, 4, ample);
    const TopologyTable small_blocks(data, taxa, 4, ample, 1);
    const NetworkLevels levels{NetworkMethod::nanuq, 0.05, 0.95, false};
    const NetworkDistanceSums one = network_distance_sums(whole, levels, 1);
    EXPECT_EQ(one.matrix(), network_distance_sums(small_blocks, levels, 3).matrix());
    EXPECT_EQ(one.classes()[static_cast<std::size_t>(QuartetClass::tree)], 15u);
    const auto id = [&](const char* name) { return std::size_t{data.taxon_set.id_of(name).index()}; };
    // Never apart: 2n - 4 = 8. a and f: apart in all six quartets holding them, 12 more.
    EXPECT_EQ(one.distance(id("a"), id("b")), 8.0);
    EXPECT_EQ(one.distance(id("e"), id("f")), 8.0);
    EXPECT_EQ(one.distance(id("a"), id("f")), 20.0);
    for (const char* x : {"a", "b", "c", "d", "e", "f"})
        for (const char* y : {"a", "b", "c", "d", "e", "f"})
            for (const char* z : {"a", "b", "c", "d", "e", "f"})
                for (const char* w : {"a", "b", "c", "d", "e", "f"}) {
                    const double xy = one.distance(id(x), id(y)), zw = one.distance(id(z), id(w));
                    const double xz = one.distance(id(x), id(z)), yw = one.distance(id(y), id(w));
                    const double xw = one.distance(id(x), id(w)), yz = one.distance(id(y), id(z));
                    // The four-point condition: the two largest of the three sums are equal.
                    std::array<double, 3> s{xy + zw, xz + yw, xw + yz};
                    std::sort(s.begin(), s.end());
                    EXPECT_EQ(s[1], s[2]);
                }
}

TEST(NetworkDistanceSums, RandomTreesSumAsEveryQuartetClassedAlone) {
    std::mt19937_64 rng(41);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> lines;
        for (int t = 0; t < 25; ++t) lines.push_back(test::random_newick(rng));
        const TreeSetData data = test::data_of(lines);
        const std::size_t n = data.taxon_set.size();
        if (n < 4) continue;
        std::vector<TaxonId> taxa(n);
        for (std::size_t k = 0; k < n; ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
        for (const NetworkMethod method : {NetworkMethod::nanuq, NetworkMethod::tinnik}) {
            const NetworkLevels levels{method, 0.05, 0.5, round == 2};
            const TopologyTable table(data, taxa, 4, ample, 1);
            const NetworkDistanceSums threaded = network_distance_sums(table, levels, 3);
            NetworkDistanceSums alone(n, levels);
            BlobQuartets blobs(n);
            std::vector<std::uint32_t> quartet(4);
            CombinationOrder order(n, 4);
            order.unrank(0, quartet);
            do {
                QuartetNames names;
                for (std::size_t k = 0; k < 4; ++k) names[k] = data.taxon_set.taxon_names()[quartet[k]];
                const QuartetTally counts = tally_single_quartet(data, names);
                const std::array<std::uint32_t, 4> ids{quartet[0], quartet[1], quartet[2], quartet[3]};
                // Unresolved trees are not tallied here: only the dropped rounds compare.
                alone.add(ids, counts);
                const QuartetClass kind = classify_quartet(counts, 0, false, levels.alpha, levels.beta);
                blobs.record(ids, kind, kind == QuartetClass::tree ? tree_topologies(TreeTest::t3, counts, 0, false) : 0);
            } while (order.advance(quartet));
            if (method == NetworkMethod::tinnik) {
                blobs.infer();
                alone = blobs.sums(levels);
            }
            if (round != 2) {
                EXPECT_EQ(threaded.matrix(), alone.matrix());
            }
            EXPECT_EQ(threaded.classes()[0] + threaded.classes()[1] + threaded.classes()[2] + threaded.classes()[3] +
                          threaded.inferred(),
                      table.row_count());
        }
    }
}

TEST(QuartetClasses, WholeSharesClassAsCountsAndFractionalOnesByTheSameTests) {
    for (const std::array<std::uint64_t, 3> counts :
         {std::array<std::uint64_t, 3>{0, 0, 0}, {5, 5, 5}, {30, 1, 0}, {45, 45, 10}, {40, 31, 29}, {20, 40, 40}})
        for (const std::uint64_t unresolved : {0, 7})
            for (const bool spread : {false, true})
                for (const TreeTest test : {TreeTest::t3, TreeTest::cut})
                    for (const double beta : {0.05, 0.5, 0.95}) {
                        const std::array<double, 3> shares{static_cast<double>(counts[0]),
                                                           static_cast<double>(counts[1]),
                                                           static_cast<double>(counts[2])};
                        const auto whole = static_cast<double>(unresolved);
                        EXPECT_EQ(classify_quartet(shares, whole, spread, 0.05, beta, test),
                                  classify_quartet(counts, unresolved, spread, 0.05, beta, test));
                        EXPECT_EQ(tree_topologies(test, shares, whole, spread),
                                  tree_topologies(test, counts, unresolved, spread));
                    }
    // Shares a half away from the counts of each class stay in it.
    EXPECT_EQ(classify_quartet(std::array<double, 3>{90.5, 5, 5.5}, 0.0, false, 0.05, 0.95), QuartetClass::tree);
    EXPECT_EQ(classify_quartet(std::array<double, 3>{45.5, 45, 10}, 0.0, false, 0.05, 0.95), QuartetClass::cycle);
    EXPECT_EQ(classify_quartet(std::array<double, 3>{34.5, 33, 33}, 0.0, false, 0.05, 0.95), QuartetClass::star);
    EXPECT_EQ(classify_quartet(std::array<double, 3>{0, 0, 0}, 2.5, false, 0.05, 0.95), QuartetClass::empty);
    EXPECT_EQ(classify_quartet(std::array<double, 3>{0, 0, 0}, 2.5, true, 0.05, 0.95), QuartetClass::star);
    // Tied shares share as tied counts do.
    EXPECT_EQ(quartet_additions(NetworkMethod::nanuq, QuartetClass::tree, std::array<double, 3>{5.5, 5.5, 1.25}),
              (std::array<std::int64_t, 6>{6, 6, 12, 12, 6, 6}));
    EXPECT_EQ(quartet_additions(NetworkMethod::nanuq, QuartetClass::cycle, std::array<double, 3>{9.5, 1.5, 1.5}),
              (std::array<std::int64_t, 6>{6, 9, 9, 9, 9, 6}));
    // The cut test's estimate from fractional shares: the two equal minor shares single out 12|03.
    EXPECT_EQ(tree_topologies(TreeTest::cut, std::array<double, 3>{2.5, 40.5, 40.5}, 0.0, false), 1u);
}

TEST(NetworkDistanceSums, SpeciesOfSisterIndividualsGiveTheSpeciesDistances) {
    // Each species' individuals are sisters: every tree adds whole shares, so the table of
    // species gives what trees of one leaf per species give, to the bit, whatever the method.
    const std::vector<std::string> species{"((a,b),c,(d,e));", "((a,c),b,(d,e));", "((b,c),a,(d,e));",
                                           "((a,b),(c,d),e);", "(a,b,c,d,e);"};
    const std::vector<std::string> individuals{
        "(((a1,a2),b1),c1,((d1,d2),e1));", "(((a2,a1),c1),b1,((d2,d1),e1));", "((b1,c1),(a1,a2,a3),((d1,d2),e1));",
        "(((a1,a2),b1),(c1,(d1,d2)),e1);", "((a1,a2),b1,c1,(d1,d2),e1);"};
    std::vector<std::string> one, many;
    for (std::size_t k = 0; k < species.size(); ++k)
        for (std::size_t copy = 0; copy < 6 * (k + 1); ++copy) {
            one.push_back(species[k]);
            many.push_back(individuals[k]);
        }
    const TreeSetData species_data = test::data_of(one);
    const TreeSetData individual_data = test::data_of(many);
    std::vector<TaxonId> ids;
    std::vector<std::vector<TaxonId>> groups;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
        ids.push_back(species_data.taxon_set.id_of(name));
        std::vector<TaxonId> group;
        const std::vector<std::string>& names = individual_data.taxon_set.taxon_names();
        for (const char* suffix : {"1", "2", "3"})
            if (std::find(names.begin(), names.end(), std::string(name) + suffix) != names.end())
                group.push_back(individual_data.taxon_set.id_of(std::string(name) + suffix));
        groups.push_back(group);
    }
    const TopologyTable by_id(species_data, ids, 4, ample);
    const TopologyTable by_group(individual_data, groups, 4, ample, 1, 2);
    for (const NetworkMethod method : {NetworkMethod::nanuq, NetworkMethod::tinnik})
        for (const bool spread : {false, true}) {
            const NetworkLevels levels{method, 0.05, 0.5, spread};
            const NetworkDistanceSums expected = network_distance_sums(by_id, levels, 1);
            const NetworkDistanceSums found = network_distance_sums(by_group, levels, 2);
            EXPECT_EQ(found.taxa(), 5u);
            EXPECT_EQ(found.matrix(), expected.matrix());
            EXPECT_EQ(found.classes(), expected.classes());
        }
}

TEST(NetworkDistanceSums, RefusesQuintetsAndMergesOfOtherMethods) {
    NetworkDistanceSums nanuq(4, NetworkLevels{NetworkMethod::nanuq, 0.05, 0.95, false});
    EXPECT_THROW(nanuq.merge(NetworkDistanceSums(4, NetworkLevels{NetworkMethod::tinnik, 0.05, 0.95, false})),
                 FatalError);
    EXPECT_THROW(nanuq.merge(NetworkDistanceSums(5, NetworkLevels{NetworkMethod::nanuq, 0.05, 0.95, false})),
                 FatalError);
    EXPECT_THROW(NetworkDistanceSums(std::size_t{1} << 33, NetworkLevels{NetworkMethod::nanuq, 0.05, 0.95, false}),
                 std::bad_alloc);
}

}  // namespace
}  // namespace treetally
