// The T3 and T1 tests against values worked out by hand or by other routes: the statistics'
// formulas, the laws where they have closed forms, the exact law by brute enumeration, and the
// symmetries and limits the tests must keep.
#include "tables/tree_tests.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>
#include <vector>

namespace treetally {
namespace {

using Counts = std::array<double, 3>;
constexpr auto mlest = TreeTestMethod::mlest;
constexpr auto conservative = TreeTestMethod::conservative;

double chi1_tail(double x) { return std::erfc(std::sqrt(x / 2.0)); }
double mixture_tail(double x) { return 0.5 * chi1_tail(x) + 0.5 * std::exp(-x / 2.0); }

TEST(TreeTests, StatisticsAreThePowerDivergenceFromTheFit) {
    // Fit of (50, 30, 20) on T3: (50, 25, 25).
    const Counts counts{30, 50, 20};
    EXPECT_NEAR(t3_test(counts, 1.0, conservative).statistic, 100.0 / 50.0, 1e-12);
    const double g = 2.0 * (30 * std::log(30 / 25.0) + 20 * std::log(20 / 25.0));
    EXPECT_NEAR(t3_test(counts, 0.0, mlest).statistic, g, 1e-12);
    // Cressie-Read 2/3: 2 / (l (l + 1)) sum O ((O / E)^l - 1).
    const double l = 2.0 / 3.0;
    const double cr = 2.0 / (l * (l + 1)) *
                      (30 * (std::pow(30 / 25.0, l) - 1) + 20 * (std::pow(20 / 25.0, l) - 1));
    EXPECT_NEAR(t3_test(counts, l, mlest).statistic, cr, 1e-12);
    // T1 on a topology below a third fits the star point: (100/3 each).
    const double star = 2.0 * (30 * std::log(0.9) + 50 * std::log(1.5) + 20 * std::log(0.6));
    EXPECT_NEAR(t1_test(counts, 2, 0.0, mlest).statistic, star, 1e-12);
}

// Pearson's statistic with conservative T3 is the chi-square test of the two minor counts.
TEST(TreeTests, PearsonConservativeT3IsTheMinorChiSquare) {
    for (const Counts& counts : {Counts{500, 40, 60}, Counts{120, 90, 80}, Counts{31, 30, 29}}) {
        std::array<double, 3> sorted = counts;
        std::sort(sorted.begin(), sorted.end());
        const double gap = sorted[1] - sorted[0];
        const double x = gap * gap / (sorted[0] + sorted[1]);
        const TreeTestResult result = t3_test(counts, 1.0, conservative);
        EXPECT_NEAR(result.statistic, x, 1e-12);
        EXPECT_NEAR(result.p, x > 0 ? chi1_tail(x) : 1.0, 1e-14);
    }
}

// Far from the star point the law at the fitted point is chi-square (1 df); near it, it lies
// below the conservative bound.
TEST(TreeTests, MlestMeetsTheBoundFarFromTheStarAndStaysUnderItNear) {
    for (const double lambda : {0.0, 1.0}) {
        const Counts far{900, 60, 40};
        EXPECT_NEAR(t3_test(far, lambda, mlest).p, t3_test(far, lambda, conservative).p, 1e-12);
        for (const Counts& near : {Counts{45, 35, 20}, Counts{40, 38, 22}, Counts{70, 62, 48}}) {
            const TreeTestResult loose = t3_test(near, lambda, mlest);
            const TreeTestResult bound = t3_test(near, lambda, conservative);
            EXPECT_EQ(loose.statistic, bound.statistic);
            EXPECT_LT(loose.p, bound.p);
            EXPECT_GT(loose.p, 0.0);
        }
    }
}

// T1 on a topology holding under a third fits the star point, where the law is the mixture
// 1/2 chi2(1) + 1/2 chi2(2), the conservative law itself.
TEST(TreeTests, T1AtTheStarPointIsTheChiBarMixture) {
    const Counts counts{60, 25, 40};
    const TreeTestResult at_star = t1_test(counts, 1, 0.0, mlest);
    EXPECT_NEAR(at_star.p, mixture_tail(at_star.statistic), 1e-9);
    EXPECT_NEAR(t1_test(counts, 1, 0.0, conservative).p, at_star.p, 1e-9);
    // On the largest topology T1 and T3 fit the same point.
    EXPECT_EQ(t1_test(counts, 0, 0.0, mlest).statistic, t3_test(counts, 0.0, mlest).statistic);
}

TEST(TreeTests, T1RejectsASpeciesTopologyTheGeneTreesRarelyShow) {
    const TreeTestResult result = t1_test(Counts{700, 160, 140}, 2, 0.0, mlest);
    EXPECT_GT(result.statistic, 500.0);
    EXPECT_LT(result.p, 1e-100);
    EXPECT_GT(t1_test(Counts{700, 160, 140}, 0, 0.0, mlest).p, 0.1);
}

// Permuting the counts (and the species topology with them) changes nothing, to the bit.
TEST(TreeTests, TheOrderOfTheCountsDoesNotMatter) {
    const Counts counts{47, 31, 22};
    for (const TreeTestMethod method : {mlest, conservative}) {
        const TreeTestResult t3 = t3_test(counts, 0.0, method);
        const TreeTestResult t1 = t1_test(counts, 1, 0.0, method);
        std::array<int, 3> order{0, 1, 2};
        do {
            const Counts permuted{counts[static_cast<std::size_t>(order[0])],
                                  counts[static_cast<std::size_t>(order[1])],
                                  counts[static_cast<std::size_t>(order[2])]};
            const auto place = std::find(order.begin(), order.end(), 1);
            const int species = static_cast<int>(place - order.begin());
            EXPECT_EQ(t3_test(permuted, 0.0, method).p, t3.p);
            EXPECT_EQ(t1_test(permuted, species, 0.0, method).p, t1.p);
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

// Few counts: the exact tail under the fitted multinomial, here enumerated by brute force.
TEST(TreeTests, FewCountsTakeTheExactLawOfTheFittedModel) {
    const Counts counts{6, 3, 1};
    const double x = (3.0 - 1.0) * (3.0 - 1.0) / 4.0;  // Pearson, fit (6, 2, 2)
    const std::array<double, 3> p{0.6, 0.2, 0.2};
    double tail = 0.0;
    for (int a = 0; a <= 10; ++a) {
        for (int b = 0; a + b <= 10; ++b) {
            const int c = 10 - a - b;
            std::array<int, 3> sorted{a, b, c};
            std::sort(sorted.begin(), sorted.end());
            const int minors = sorted[0] + sorted[1];
            const double gap = sorted[1] - sorted[0];
            const double y = minors == 0 ? 0.0 : gap * gap / minors;
            const double ways =
                std::tgamma(11) / (std::tgamma(a + 1) * std::tgamma(b + 1) * std::tgamma(c + 1));
            const double chance = ways * std::pow(p[0], a) * std::pow(p[1], b) * std::pow(p[2], c);
            if (y >= x - 1e-9) tail += chance;
        }
    }
    for (const TreeTestMethod method : {mlest, conservative}) {
        const TreeTestResult result = t3_test(counts, 1.0, method);
        EXPECT_NEAR(result.statistic, x, 1e-12);
        EXPECT_NEAR(result.p, tail, 1e-12);
    }
}

TEST(TreeTests, EdgeCounts) {
    // Every tree on one topology: the fit is exact.
    for (const Counts& one : {Counts{0, 0, 500}, Counts{7, 0, 0}}) {
        const TreeTestResult result = t3_test(one, 0.0, mlest);
        EXPECT_EQ(result.statistic, 0.0);
        EXPECT_EQ(result.p, 1.0);
    }
    // The star point itself.
    EXPECT_EQ(t3_test(Counts{40, 40, 40}, 0.0, mlest).statistic, 0.0);
    EXPECT_EQ(t3_test(Counts{40, 40, 40}, 0.0, mlest).p, 1.0);
    // A zero minor count: finite for lambda above -1, unbounded at -1.
    const TreeTestResult zero = t3_test(Counts{80, 30, 0}, 0.0, mlest);
    EXPECT_NEAR(zero.statistic, 2.0 * 30 * std::log(2.0), 1e-12);
    EXPECT_TRUE(std::isinf(t3_test(Counts{80, 30, 0}, -1.0, mlest).statistic));
    EXPECT_EQ(t3_test(Counts{80, 30, 0}, -1.0, mlest).p, 0.0);
    // Nothing to test, or not counts.
    for (const Counts& none : {Counts{0, 0, 0}, Counts{-1, 5, 5}, Counts{NAN, 5, 5}}) {
        EXPECT_TRUE(std::isnan(t3_test(none, 0.0, mlest).p));
        EXPECT_TRUE(std::isnan(t1_test(none, 0, 0.0, mlest).p));
    }
    EXPECT_TRUE(std::isnan(t1_test(Counts{5, 5, 5}, 3, 0.0, mlest).p));
    // Thirds of trees are counts like any other.
    const Counts spread{40 + 1 / 3.0, 20 + 1 / 3.0, 10 + 1 / 3.0};
    const TreeTestResult thirds = t3_test(spread, 0.0, mlest);
    EXPECT_GE(thirds.p, 0.0);
    EXPECT_LE(thirds.p, 1.0);
}

// Threads that ask at once (each with its own memo) get what one thread gets.
TEST(TreeTests, ThreadsAgreeWithOneThread) {
    std::vector<Counts> rows;
    for (int a = 0; a < 40; ++a)
        for (int b = 0; b <= a; b += 3)
            rows.push_back(Counts{double(40 + a), double(a), double(b)});
    std::vector<double> alone;
    for (const Counts& row : rows) alone.push_back(t3_test(row, 0.0, mlest).p);
    std::vector<std::vector<double>> seen(4);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < seen.size(); ++k)
        threads.emplace_back([&rows, &seen, k] {
            for (std::size_t i = rows.size(); i-- > 0;)
                seen[k].push_back(t3_test(rows[i], 0.0, mlest).p);
            std::reverse(seen[k].begin(), seen[k].end());
        });
    for (std::thread& thread : threads) thread.join();
    for (const std::vector<double>& values : seen) EXPECT_EQ(values, alone);
}

}  // namespace
}  // namespace treetally
