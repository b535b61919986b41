// The tree tests' shortcuts must not show: the exact law's statistics taken from a table of
// logs agree with the general power divergence, and the per-thread memos never hand one
// setting's result to another.
#include "tables/tree_tests.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <thread>
#include <vector>

namespace treetally {
namespace {

using Counts = std::array<double, 3>;

// Few-count triples (the exact law's), whole and in thirds as unresolved trees spread them.
std::vector<Counts> few_counts() {
    std::vector<Counts> all;
    for (const double total : {6.0, 17.0, 29.0, 80.0, 400.0})
        for (double b = 0; b <= 4; ++b)
            for (double c = b; c <= 6 && total - b - c >= c; c += 2)
                all.push_back({total - b - c, b, c});
    // Thousands of trees with few off the major topology: the enumeration's largest tables.
    all.push_back({5000, 2, 3});
    all.push_back({8100, 1, 6});
    all.push_back({10.0 / 3.0 + 9, 10.0 / 3.0, 1.0 / 3.0});
    all.push_back({200.0 + 2.0 / 3.0, 2.0 / 3.0, 4.0 / 3.0 + 1});
    return all;
}

// At lambda 1e-300 the statistic is the general Cressie-Read formula, equal to lambda 0's
// within rounding: the exact law must count the same outcomes.
TEST(TreeTestShortcuts, ExactLawAgreesWithTheGeneralDivergence) {
    for (const Counts& counts : few_counts()) {
        const TreeTestResult t3 = t3_test(counts, 0.0, TreeTestMethod::mlest);
        const TreeTestResult near = t3_test(counts, 1e-300, TreeTestMethod::mlest);
        EXPECT_NEAR(t3.statistic, near.statistic, 1e-12 * (1 + near.statistic));
        EXPECT_NEAR(t3.p, near.p, 1e-15 + 1e-12 * near.p) << counts[0] << " " << counts[1];
        for (const int species : {0, 1}) {
            const TreeTestResult t1 = t1_test(counts, species, 0.0, TreeTestMethod::mlest);
            const TreeTestResult t1_near = t1_test(counts, species, 1e-300, TreeTestMethod::mlest);
            EXPECT_NEAR(t1.p, t1_near.p, 1e-15 + 1e-12 * t1_near.p) << species;
        }
    }
}

// One thread asks T3 at lambda 0 alone; another asks the same between T1, other lambdas and
// the conservative law on the same counts: the answers are the same bits.
TEST(TreeTestShortcuts, MemosKeepSettingsApart) {
    std::vector<Counts> counts = few_counts();
    for (double n = 40; n <= 400; n += 60) counts.push_back({n * 0.36, n * 0.33, n * 0.31});
    std::vector<TreeTestResult> alone;
    std::vector<TreeTestResult> mixed;
    std::thread([&] {
        for (const Counts& row : counts) alone.push_back(t3_test(row, 0.0, TreeTestMethod::mlest));
    }).join();
    std::thread([&] {
        for (int pass = 0; pass < 2; ++pass) {
            mixed.clear();
            for (const Counts& row : counts) {
                (void)t3_test(row, 1.0, TreeTestMethod::mlest);
                (void)t1_test(row, 2, 0.0, TreeTestMethod::mlest);
                (void)t3_test(row, 0.0, TreeTestMethod::conservative);
                mixed.push_back(t3_test(row, 0.0, TreeTestMethod::mlest));
            }
        }
    }).join();
    ASSERT_EQ(alone.size(), mixed.size());
    for (std::size_t i = 0; i < alone.size(); ++i) {
        EXPECT_EQ(alone[i].statistic, mixed[i].statistic) << i;
        EXPECT_EQ(alone[i].p, mixed[i].p) << i;
    }
}

// Near and past the point where the law is taken as chi-square, the p-value moves smoothly
// with the trees' number (no step where the rays' integrals stop), under chi-square's.
TEST(TreeTestShortcuts, TheLawMeetsChiSquareWithoutAStep) {
    double previous_gap = 1.0;
    for (double n = 300; n <= 12000; n += 300) {
        const Counts counts{std::round(n * 0.4), std::round(n * 0.31), 0};
        const Counts whole{counts[0], counts[1], n - counts[0] - counts[1]};
        const TreeTestResult loose = t3_test(whole, 0.0, TreeTestMethod::mlest);
        const TreeTestResult bound = t3_test(whole, 0.0, TreeTestMethod::conservative);
        const double gap = bound.p - loose.p;
        EXPECT_GE(gap, -1e-15) << n;
        // The law's share off chi-square shrinks as the fitted point leaves the star.
        EXPECT_LE(gap, previous_gap + 1e-15) << n;
        previous_gap = gap;
    }
}

}  // namespace
}  // namespace treetally
