// The T3 and T1 tests against values worked out by hand or by other routes: the statistics'
// formulas, the laws where they have closed forms, the exact law by brute enumeration, and the
// symmetries and limits the tests must keep.
#include "tables/tree_tests.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
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

// The asymptotic law at the fitted point p, worked out another way than the engine does: in the
// plane of the three frequencies, scaled by the Fisher information at p (the chi-square metric
// sum u_i v_i / p_i), the normal vector about sqrt(n) (p - star) and the model's rays from the star
// toward the vertices (T3: all three; T1: the species topology's). Seen from the star, a point at
// angle theta and radius r lies r g(theta) from the rays, so the tail beyond x is an integral
// over theta of the normal mass along the half-line past sqrt(x) / g(theta), in closed form.
double law_tail(double x, const std::array<double, 3>& p, double n, const std::vector<int>& rays) {
    const auto inner = [&p](const std::array<double, 3>& u, const std::array<double, 3>& v) {
        return u[0] * v[0] / p[0] + u[1] * v[1] / p[1] + u[2] * v[2] / p[2];
    };
    std::array<double, 3> first{2, -1, -1};
    const double first_norm = std::sqrt(inner(first, first));
    for (double& value : first) value /= first_norm;
    std::array<double, 3> second{0, 1, -1};
    const double along = inner(second, first);
    for (std::size_t i = 0; i < 3; ++i) second[i] -= along * first[i];
    const double second_norm = std::sqrt(inner(second, second));
    for (double& value : second) value /= second_norm;
    const auto plane = [&](const std::array<double, 3>& v) {
        return std::array<double, 2>{inner(v, first), inner(v, second)};
    };
    const double third = 1.0 / 3.0;
    const auto mean = plane({std::sqrt(n) * (p[0] - third), std::sqrt(n) * (p[1] - third),
                             std::sqrt(n) * (p[2] - third)});
    const double pi = std::numbers::pi;
    std::vector<double> angles;
    for (const int k : rays) {
        std::array<double, 3> toward{-1, -1, -1};
        toward[static_cast<std::size_t>(k)] = 2;
        const auto at = plane(toward);
        angles.push_back(std::atan2(at[1], at[0]));
    }
    const auto wrap = [pi](double theta) {
        return theta - 2 * pi * std::floor((theta + pi) / (2 * pi));
    };
    const auto nearness = [&](double theta) {
        double best = 1.0;  // behind every ray: the star itself is nearest
        for (const double angle : angles) {
            const double off = wrap(theta - angle);
            if (std::abs(off) < pi / 2) best = std::min(best, std::abs(std::sin(off)));
        }
        return best;
    };
    const auto radial = [&](double theta) {
        const double g = nearness(theta);
        if (g == 0.0) return 0.0;
        const double from = std::sqrt(x) / g;
        const double t = mean[0] * std::cos(theta) + mean[1] * std::sin(theta);
        const double h2 = mean[0] * mean[0] + mean[1] * mean[1] - t * t;
        return std::exp(-h2 / 2) / (2 * pi) *
               (std::exp(-(from - t) * (from - t) / 2) +
                t * std::sqrt(2 * pi) * 0.5 * std::erfc(-(t - from) / std::numbers::sqrt2));
    };
    // Simpson between the kinks (where a ray gives way to the star, or to another ray)
    // and about the mean's direction, where the mass gathers when it lies far from the star.
    std::vector<double> breaks{-pi, pi};
    const double toward_mean = std::atan2(mean[1], mean[0]);
    for (const double shift : {-0.1, 0.0, 0.1}) breaks.push_back(wrap(toward_mean + shift));
    for (const double a : angles) {
        for (const double b : angles)
            for (const double shift : {0.0, pi / 2, -pi / 2})
                breaks.push_back(wrap((a + b) / 2 + shift));
    }
    std::sort(breaks.begin(), breaks.end());
    double tail = 0.0;
    for (std::size_t k = 0; k + 1 < breaks.size(); ++k) {
        const double lo = breaks[k];
        const double hi = breaks[k + 1];
        if (!(hi > lo)) continue;
        constexpr int steps = 2000;
        const double h = (hi - lo) / steps;
        double sum = radial(lo) + radial(hi);
        for (int j = 1; j < steps; ++j) sum += radial(lo + j * h) * (j % 2 == 1 ? 4 : 2);
        tail += sum * h / 3;
    }
    return tail;
}

TEST(TreeTests, MlestIsTheSquaredDistanceToTheRaysSeenFromTheFittedPoint) {
    for (const Counts& counts : {Counts{60, 25, 15}, Counts{45, 35, 20}, Counts{100, 95, 90},
                                 Counts{200, 120, 80}, Counts{1000, 340, 330}}) {
        const double n = counts[0] + counts[1] + counts[2];
        for (const double lambda : {0.0, 1.0}) {
            // T3 fits the largest count's segment (the first here).
            const double q3 = (n - counts[0]) / (2 * n);
            const TreeTestResult t3 = t3_test(counts, lambda, mlest);
            const double expected3 = law_tail(t3.statistic, {1 - 2 * q3, q3, q3}, n, {0, 1, 2});
            EXPECT_NEAR(t3.p, expected3, 1e-9 + 1e-7 * expected3) << counts[0] << " " << counts[1];
            // T1 on the second topology: its segment's fit, or the star point below a third.
            const double q1 = 3 * counts[1] >= n ? (n - counts[1]) / (2 * n) : 1.0 / 3.0;
            const TreeTestResult t1 = t1_test(counts, 1, lambda, mlest);
            const double expected1 = law_tail(t1.statistic, {q1, 1 - 2 * q1, q1}, n, {1});
            EXPECT_NEAR(t1.p, expected1, 1e-9 + 1e-7 * expected1) << counts[0] << " " << counts[1];
        }
    }
}

// Drawn from the model itself, the counts are rejected at about the test's level: the point of
// the law at the fitted point. Off the star tree T1's conservative law (the star's) rejects
// at under half the level.
TEST(TreeTests, MlestHoldsItsLevelOnCountsDrawnFromTheModel) {
    std::mt19937_64 random(20190601);
    const auto rejections = [&random](double q, int species, TreeTestMethod method) {
        constexpr int draws = 4000;
        constexpr int trees = 3000;
        int rejected = 0;
        for (int k = 0; k < draws; ++k) {
            std::binomial_distribution<int> major(trees, 1 - 2 * q);
            const int a = major(random);
            std::binomial_distribution<int> split(trees - a, 0.5);
            const int b = split(random);
            const Counts counts{double(a), double(b), double(trees - a - b)};
            const TreeTestResult result = species < 0 ? t3_test(counts, 0.0, method)
                                                      : t1_test(counts, species, 0.0, method);
            if (result.p < 0.05) ++rejected;
        }
        return rejected / double(draws);
    };
    EXPECT_NEAR(rejections(0.3, -1, mlest), 0.05, 0.015);
    EXPECT_NEAR(rejections(0.25, 0, mlest), 0.05, 0.015);
    EXPECT_LT(rejections(0.25, 0, conservative), 0.035);
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
