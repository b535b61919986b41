// Tests of TINNiK's B-quartet inference and the cut test: hand-made classes on five and six
// taxa where each rule adds B-quartets (and a tree where neither does), the rounds reading
// the classes as each began, the result the same under any relabelling of the taxa, and the
// cut test's statistic, p-value and estimate against hand computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <array>
#include <ostream>
#include <cmath>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "networks/blob_quartets.hpp"
#include "networks/quartet_classes.hpp"

namespace treetally {
namespace {

using Quartet = std::array<std::uint32_t, 4>;
constexpr std::uint32_t a = 0, b = 1, c = 2, d = 3, e = 4, f = 5;

// Topology bit of the pair {q[0], q[k + 1]} for the quartet as written.
std::uint8_t pairs_first_with(std::size_t k) {
    return static_cast<std::uint8_t>(1u << k);
}

struct RuleCase {
    std::vector<Quartet> b_quartets;                           // tested B-quartets
    std::vector<std::pair<Quartet, std::size_t>> t_quartets;  // T-quartets: q[0] with q[k + 1]
    std::vector<Quartet> inferred;                             // what the rules add
    std::uint64_t rule_one, rule_two, rounds;
};

class Rules : public testing::TestWithParam<RuleCase> {};

TEST_P(Rules, InferExactlyTheirB_Quartets) {
    const RuleCase& r = GetParam();
    BlobQuartets blobs(6);
    for (const Quartet& q : r.b_quartets) blobs.record(q, QuartetClass::cycle, 0);
    for (const auto& [q, k] : r.t_quartets) blobs.record(q, QuartetClass::tree, pairs_first_with(k));
    const BlobInference found = blobs.infer();
    EXPECT_EQ(found.rule_one, r.rule_one);
    EXPECT_EQ(found.rule_two, r.rule_two);
    EXPECT_EQ(found.rounds, r.rounds);
    std::size_t inferred = 0;
    for (std::uint32_t q3 = 3; q3 < 6; ++q3)
        for (std::uint32_t q2 = 2; q2 < q3; ++q2)
            for (std::uint32_t q1 = 1; q1 < q2; ++q1)
                for (std::uint32_t q0 = 0; q0 < q1; ++q0) inferred += blobs.inferred(Quartet{q0, q1, q2, q3});
    EXPECT_EQ(inferred, r.inferred.size());
    for (const Quartet& q : r.inferred) EXPECT_TRUE(blobs.inferred(q) && blobs.is_b(q));
    EXPECT_EQ(blobs.infer().rule_one + blobs.infer().rule_two, 0u);  // nothing more to find
}

INSTANTIATE_TEST_SUITE_P(
    HandMade, Rules,
    testing::Values(
        // abcd meets at a node; abce pairs e with a: e hangs beside a, so bcde meets there too.
        RuleCase{{{a, b, c, d}}, {{{a, b, c, e}, 2}}, {{b, c, d, e}}, 0, 1, 1},
        // The same T-quartet written in another order (e, c, a, b: e with a) infers the same.
        RuleCase{{{a, b, c, d}}, {{{e, c, a, b}, 1}}, {{b, c, d, e}}, 0, 1, 1},
        // e paired with c, then with b: the quartet lacking c, then the one lacking b.
        RuleCase{{{a, b, c, d}}, {{{a, b, c, e}, 0}}, {{a, b, d, e}}, 0, 1, 1},
        RuleCase{{{a, b, c, d}}, {{{a, b, c, e}, 1}}, {{a, c, d, e}}, 0, 1, 1},
        // Three B-quartets on five taxa: the other two follow.
        RuleCase{{{a, b, c, d}, {a, b, c, e}, {a, b, d, e}}, {}, {{a, c, d, e}, {b, c, d, e}}, 2, 0, 1},
        // Two B-quartets missing the two taxa of a cherry (d, e) and the T-quartets the tree of
        // blobs shows: nothing to add.
        RuleCase{{{a, b, c, d}, {a, b, c, e}},
                 {{{d, e, a, b}, 0}, {{d, e, a, c}, 0}, {{d, e, b, c}, 0}},
                 {},
                 0, 0, 0},
        // Rule 2 makes bcde a B-quartet in the first round; with the T-quartet bcef pairing f
        // with e, the second round adds bcdf, which no first-round look could see.
        RuleCase{{{a, b, c, d}}, {{{a, b, c, e}, 2}, {{e, f, b, c}, 0}}, {{b, c, d, e}, {b, c, d, f}}, 0, 2, 2},
        // Both rules in turn: abde pairs a with d, b with e, against the cherry d, e that the two
        // B-quartets would need. Rule 2 gives acde (e beside b) and bcde (d beside a); four
        // B-quartets then make the T-quartet abde one by rule 1 in the next round.
        RuleCase{{{a, b, c, d}, {a, b, c, e}}, {{{a, b, d, e}, 1}}, {{a, c, d, e}, {b, c, d, e}, {a, b, d, e}},
                 1, 2, 2}));

TEST(Rules, TreeLikeClassesInferNothing) {
    // Every quartet of ((a,b),c,(d,(e,f))) a T-quartet with its split: no B-quartet to start.
    BlobQuartets blobs(6);
    // Each quartet's split read off the tree: q[0]'s partner across the split dividing them 2|2.
    const auto split = [](const Quartet& q) -> std::size_t {
        // The tree's splits, as sets of taxa: ab | cdef, abc | def, abcd | ef.
        for (const std::uint32_t cut : {2u, 3u, 4u}) {
            const bool first = q[0] < cut;
            int with = 0;
            std::size_t partner = 0;
            for (std::size_t k = 1; k < 4; ++k)
                if ((q[k] < cut) == first) {
                    ++with;
                    partner = k - 1;
                }
            if (with == 1) return partner;
        }
        return 3;
    };
    std::size_t quartets = 0;
    for (std::uint32_t q3 = 3; q3 < 6; ++q3)
        for (std::uint32_t q2 = 2; q2 < q3; ++q2)
            for (std::uint32_t q1 = 1; q1 < q2; ++q1)
                for (std::uint32_t q0 = 0; q0 < q1; ++q0) {
                    const Quartet q{q0, q1, q2, q3};
                    ASSERT_LT(split(q), 3u);
                    blobs.record(q, QuartetClass::tree, pairs_first_with(split(q)));
                    ++quartets;
                }
    EXPECT_EQ(quartets, 15u);
    const BlobInference found = blobs.infer();
    EXPECT_EQ(found.rule_one + found.rule_two + found.rounds, 0u);
}

TEST(Rules, RelabellingTheTaxaRelabelsTheResult) {
    // Random classes on seven taxa, inferred as given and under random relabellings.
    std::mt19937_64 rng(5);
    constexpr std::uint32_t n = 7;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::pair<Quartet, std::uint8_t>> classes;  // 0: B, 1..3: T pairing q[0]
        for (std::uint32_t q3 = 3; q3 < n; ++q3)
            for (std::uint32_t q2 = 2; q2 < q3; ++q2)
                for (std::uint32_t q1 = 1; q1 < q2; ++q1)
                    for (std::uint32_t q0 = 0; q0 < q1; ++q0)
                        classes.push_back({{q0, q1, q2, q3}, static_cast<std::uint8_t>(rng() % 12 == 0 ? 0 : 1 + rng() % 3)});
        std::array<std::uint32_t, n> label{};
        std::iota(label.begin(), label.end(), 0u);
        BlobQuartets given(n);
        BlobQuartets relabelled(n);
        std::shuffle(label.begin(), label.end(), rng);
        for (const auto& [q, kind] : classes) {
            const Quartet moved{label[q[0]], label[q[1]], label[q[2]], label[q[3]]};
            if (kind == 0) {
                given.record(q, QuartetClass::cycle, 0);
                relabelled.record(moved, QuartetClass::cycle, 0);
            } else {
                given.record(q, QuartetClass::tree, pairs_first_with(kind - 1u));
                relabelled.record(moved, QuartetClass::tree, pairs_first_with(kind - 1u));
            }
        }
        const BlobInference one = given.infer(), other = relabelled.infer();
        EXPECT_EQ(one.rule_one + one.rule_two, other.rule_one + other.rule_two);
        for (const auto& [q, kind] : classes)
            EXPECT_EQ(given.is_b(q), relabelled.is_b(Quartet{label[q[0]], label[q[1]], label[q[2]], label[q[3]]}));
    }
}

TEST(Rules, AnInterruptStopsTheRounds) {
    BlobQuartets blobs(8);
    blobs.record(Quartet{a, b, c, d}, QuartetClass::cycle, 0);
    EXPECT_THROW(blobs.infer(InterruptCheck([] { throw std::runtime_error("stop"); })), std::runtime_error);
}

TEST(Rules, RefusesRepeatedTaxaAndTaxaOutOfRange) {
    BlobQuartets blobs(5);
    EXPECT_THROW(blobs.record(Quartet{0, 1, 1, 2}, QuartetClass::tree, 1), FatalError);
    EXPECT_THROW(blobs.record(Quartet{0, 1, 2, 5}, QuartetClass::tree, 1), FatalError);
    EXPECT_EQ(BlobQuartets::bytes_for(3), 0u);
    EXPECT_EQ(BlobQuartets::bytes_for(50), 230300u);
}

// The cut statistic by hand: G_k = 2 (x ln x + y ln y - (x + y) ln((x + y) / 2)), {x, y} the
// counts other than k's.
double by_hand(double x, double y) {
    const auto xlx = [](double v) { return v > 0 ? v * std::log(v) : 0.0; };
    return x + y > 0 ? 2.0 * (xlx(x) + xlx(y) - (x + y) * std::log((x + y) / 2.0)) : 0.0;
}

// The same law as three_line_tail by brute force: a fine grid over the normal pair.
double grid_tail(double x, double mu0, double theta) {
    constexpr double step = 0.01;
    const double s = std::sqrt(x);
    double sum = 0.0;
    for (double u = mu0 - 8.0 + step / 2; u < mu0 + 8.0; u += step)
        for (double v = -8.0 + step / 2; v < 8.0; v += step) {
            const double d0 = std::abs(v);
            const double d1 = std::abs(v * std::cos(theta) - u * std::sin(theta));
            const double d2 = std::abs(v * std::cos(theta) + u * std::sin(theta));
            if (std::min({d0, d1, d2}) >= s)
                sum += std::exp(-0.5 * ((u - mu0) * (u - mu0) + v * v)) / (2.0 * std::acos(-1.0));
        }
    return sum * step * step;
}

// The exact law by brute force: every outcome of the fitted multinomial.
double enumerated_tail(const std::array<double, 3>& counts, std::size_t line) {
    const auto n = static_cast<int>(counts[0] + counts[1] + counts[2]);
    const double q = (counts[(line + 1) % 3] + counts[(line + 2) % 3]) / (2.0 * n);
    const std::array<double, 3> fitted_p{line == 0 ? 1 - 2 * q : q, line == 1 ? 1 - 2 * q : q, line == 2 ? 1 - 2 * q : q};
    const double observed = cut_test(counts).statistic;
    double tail = 0.0;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; i + j <= n; ++j) {
            const std::array<double, 3> outcome{double(i), double(j), double(n - i - j)};
            double log_p = std::lgamma(n + 1.0);
            for (std::size_t k = 0; k < 3; ++k)
                log_p += -std::lgamma(outcome[k] + 1.0) + (outcome[k] > 0 ? outcome[k] * std::log(fitted_p[k]) : 0.0);
            const double g = std::min({by_hand(outcome[1], outcome[2]), by_hand(outcome[0], outcome[2]), by_hand(outcome[0], outcome[1])});
            if (g >= observed - 1e-9) tail += std::exp(log_p);
        }
    return tail;
}

struct CutCase {
    std::array<double, 3> trees;
    double statistic;
    std::uint8_t topologies;
};

// Named by its counts, so that the test's name never prints the case's padding bytes.
void PrintTo(const CutCase& cut, std::ostream* out) {
    *out << cut.trees[0] << "," << cut.trees[1] << "," << cut.trees[2];
}

class Cut : public testing::TestWithParam<CutCase> {};

TEST_P(Cut, StatisticAndEstimate) {
    const CutCase& k = GetParam();
    const CutTest found = cut_test(k.trees);
    EXPECT_NEAR(found.statistic, k.statistic, 1e-12 * std::max(1.0, k.statistic));
    EXPECT_EQ(found.topologies, k.topologies);
    if (k.statistic == 0.0) {
        EXPECT_EQ(found.p, 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ByHand, Cut,
    testing::Values(
        // The other two closest are 30 and 20: topology 0.
        CutCase{{50, 30, 20}, by_hand(30, 20), 1},
        // Two equal counts fit exactly, even when the third is the smallest: the cut model
        // holds a major topology below a third, which the T3 model refuses.
        CutCase{{40, 40, 20}, 0.0, 4},
        CutCase{{20, 40, 40}, 0.0, 1},
        // All equal: every topology fits; a lone count: the two empty ones fit.
        CutCase{{7, 7, 7}, 0.0, 7},
        CutCase{{0, 9, 0}, 0.0, 2},
        // The closest pair need not hold the largest count: 20 and 30 leave topology 0.
        CutCase{{10, 20, 30}, by_hand(20, 30), 1}));

// At the star point the lines are 60 degrees apart and the pair is isotropic: a point at radius
// r, delta from its nearest line, is r sin(delta) from it, so the law is
// (6 / pi) * integral over [0, pi / 6] of exp(-x / (2 sin^2 delta)).
double polar_tail(double x) {
    constexpr int steps = 200000;
    const double width = std::acos(-1.0) / 6.0 / steps;
    double sum = 0.0;
    for (int k = 0; k < steps; ++k) {
        const double delta = (k + 0.5) * width;
        sum += std::exp(-x / (2.0 * std::sin(delta) * std::sin(delta)));
    }
    return sum * width * 6.0 / std::acos(-1.0);
}

TEST(Cut, LawOfThreeLinesAgainstPolarIntegralAndAGrid) {
    for (const double x : {0.1, 0.5, 2.0, 6.0, 20.0})
        EXPECT_NEAR(three_line_tail(x, 0.0, std::acos(-0.5)) / polar_tail(x), 1.0, 1e-6) << x;
    for (const double mu0 : {1.0, 3.0})
        for (const double theta : {2.0, 1.2})
            for (const double x : {0.5, 2.0, 6.0})
                EXPECT_NEAR(three_line_tail(x, mu0, theta), grid_tail(x, mu0, theta), 3e-3) << mu0 << " " << theta << " " << x;
    // Far from the other lines: chi-square with 1 degree of freedom.
    EXPECT_DOUBLE_EQ(three_line_tail(4.0, 60.0, 2.0), std::erfc(std::sqrt(2.0)));
    EXPECT_EQ(three_line_tail(0.0, 1.0, 2.0), 1.0);
}

TEST(Cut, PValuesNearTheStarFarFromItAndWithFewCounts) {
    // (50, 30, 20): the fitted point (1/2, 1/4, 1/4) lies 10 |1/3 - 1/4| 4 from the star point
    // in the metric there, its line at acos(-8 / sqrt(16 * 22)) from the others.
    const CutTest near = cut_test(std::array<double, 3>{50, 30, 20});
    EXPECT_DOUBLE_EQ(near.p, three_line_tail(by_hand(30, 20), 10.0 * (1.0 / 12.0) * 4.0, std::acos(-8.0 / std::sqrt(352.0))));
    // Nearer the other lines, the distance to the nearest line is smaller than to its own.
    EXPECT_LT(near.p, std::erfc(std::sqrt(by_hand(30, 20) / 2.0)));
    // (900, 60, 40): far from the star, chi-square with 1 degree of freedom.
    const CutTest far = cut_test(std::array<double, 3>{900, 60, 40});
    EXPECT_DOUBLE_EQ(far.p, std::erfc(std::sqrt(by_hand(60, 40) / 2.0)));
    // Few trees, or a fitted count below 5: the exact tail of the fitted multinomial.
    for (const std::array<double, 3> few : {std::array<double, 3>{9, 4, 2}, {20, 1, 0}, {1, 12, 6}, {25, 3, 0}})
        EXPECT_NEAR(cut_test(few).p, enumerated_tail(few, static_cast<std::size_t>(std::countr_zero(unsigned{cut_test(few).topologies}))), 1e-12);
    const CutTest big = cut_test(std::array<double, 3>{5000, 3, 0});
    EXPECT_GT(big.p, 0.0);
    EXPECT_LT(big.p, 1.0);
}

TEST(Cut, NoTreeGivesNoTest) {
    const CutTest none = cut_test(std::array<double, 3>{0, 0, 0});
    EXPECT_TRUE(std::isnan(none.statistic) && std::isnan(none.p));
    EXPECT_EQ(none.topologies, 0);
    // A quartet classed by the cut test: (20, 40, 40) rejects the star but fits the cut model,
    // a T-quartet splitting t1 t2 from t3 t4; the T3 test rejects it, a B-quartet.
    const std::array<std::uint64_t, 3> counts{20, 40, 40};
    EXPECT_EQ(classify_quartet(counts, 0, false, 0.05, 0.05, TreeTest::cut), QuartetClass::tree);
    EXPECT_EQ(classify_quartet(counts, 0, false, 0.05, 0.05, TreeTest::t3), QuartetClass::cycle);
    EXPECT_EQ(tree_topologies(TreeTest::cut, counts, 0, false), 1);
    EXPECT_EQ(tree_topologies(TreeTest::t3, counts, 0, false), 6);
    // Spread unresolved trees move every count alike; the estimate is read from the spread counts.
    EXPECT_EQ(tree_topologies(TreeTest::cut, std::array<std::uint64_t, 3>{50, 30, 20}, 30, true), 1);
}

}  // namespace
}  // namespace treetally
