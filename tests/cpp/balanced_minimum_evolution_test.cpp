// Tests of balanced minimum evolution: a tree metric gives back its tree and lengths, the
// result is never longer (by Pauplin's formula) than neighbor joining's tree, the same distances
// give the same tree, and the form of the result is the one readers of a joined tree expect.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "base/fatal_error.hpp"
#include "species/balanced_minimum_evolution.hpp"
#include "species/neighbor_joining.hpp"

namespace treetally {
namespace {

// A random unrooted binary tree over n taxa, joined at random, with whole-number lengths 1..9.
JoinedTree random_tree(std::size_t n, std::mt19937_64& random) {
    JoinedTree tree{std::vector<std::int64_t>(2 * n - 2, -1), std::vector<double>(2 * n - 2, 0.0)};
    std::vector<std::int64_t> pool(n);
    for (std::size_t k = 0; k < n; ++k) pool[k] = static_cast<std::int64_t>(k);
    std::uniform_int_distribution<int> length(1, 9);
    auto next = static_cast<std::int64_t>(n);
    while (pool.size() > 3) {
        for (int pick = 0; pick < 2; ++pick) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random);
            tree.parent[static_cast<std::size_t>(pool[at])] = next;
            pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(at));
        }
        pool.push_back(next++);
    }
    for (const std::int64_t node : pool) tree.parent[static_cast<std::size_t>(node)] = next;
    for (std::size_t k = 0; k + 1 < tree.length.size(); ++k) tree.length[k] = length(random);
    return tree;
}

// The path lengths between the taxa of a tree (lengths of the edges above each node).
std::vector<double> path_metric(const JoinedTree& tree, std::size_t n) {
    const std::size_t nodes = tree.parent.size();
    std::vector<double> d(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<double> up(nodes, -1.0);  // length from taxon i up to each ancestor
        double sum = 0.0;
        for (auto v = static_cast<std::int64_t>(i); v >= 0; v = tree.parent[static_cast<std::size_t>(v)]) {
            up[static_cast<std::size_t>(v)] = sum;
            sum += tree.length[static_cast<std::size_t>(v)];
        }
        for (std::size_t j = 0; j < n; ++j) {
            double climb = 0.0;
            auto v = static_cast<std::int64_t>(j);
            while (up[static_cast<std::size_t>(v)] < 0.0) {
                climb += tree.length[static_cast<std::size_t>(v)];
                v = tree.parent[static_cast<std::size_t>(v)];
            }
            d[i * n + j] = climb + up[static_cast<std::size_t>(v)];
        }
    }
    return d;
}

class TreeMetric : public testing::TestWithParam<std::size_t> {};

TEST_P(TreeMetric, GivesBackTheTreeAndItsLengths) {
    const std::size_t n = GetParam();
    std::mt19937_64 random(n);
    for (int trial = 0; trial < 10; ++trial) {
        const JoinedTree truth = random_tree(n, random);
        const std::vector<double> d = path_metric(truth, n);
        const JoinedTree built = balanced_minimum_evolution(d, n);
        ASSERT_EQ(built.parent.size(), 2 * n - 2);
        // Each node's id exceeds its children's; the centre, last, is next to taxon 0.
        for (std::size_t v = 0; v + 1 < built.parent.size(); ++v)
            EXPECT_GT(built.parent[v], static_cast<std::int64_t>(v));
        EXPECT_EQ(built.parent.back(), -1);
        EXPECT_EQ(built.parent[0], static_cast<std::int64_t>(built.parent.size() - 1));
        // Positive lengths: the metric fixes the tree, so equal metrics mean the same tree.
        const std::vector<double> back = path_metric(built, n);
        for (std::size_t k = 0; k < d.size(); ++k) ASSERT_NEAR(back[k], d[k], 1e-9) << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TreeMetric, testing::Values(3, 4, 5, 6, 9, 17, 40));

TEST(BalancedMinimumEvolution, IsNoLongerThanJoiningOnNoisyDistances) {
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int> noise(0, 6);
    for (const std::size_t n : {5, 8, 12, 25, 60}) {
        for (int trial = 0; trial < 5; ++trial) {
            std::vector<double> d = path_metric(random_tree(n, random), n);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = i + 1; j < n; ++j) d[i * n + j] = d[j * n + i] = d[i * n + j] + noise(random);
            const double bme = balanced_length(balanced_minimum_evolution(d, n), d, n);
            const double nj = balanced_length(neighbor_joining(d, n), d, n);
            EXPECT_LE(bme, nj * (1 + 1e-12)) << n << " taxa, trial " << trial;
        }
    }
}

TEST(BalancedMinimumEvolution, SameDistancesSameTreeEvenWhenAllTie) {
    const std::size_t n = 7;
    const std::vector<double> equal = [&] {
        std::vector<double> d(n * n, 4.0);
        for (std::size_t i = 0; i < n; ++i) d[i * n + i] = 0.0;
        return d;
    }();
    const JoinedTree first = balanced_minimum_evolution(equal, n);
    const JoinedTree second = balanced_minimum_evolution(equal, n);
    EXPECT_EQ(first.parent, second.parent);
    EXPECT_EQ(first.length, second.length);
}

TEST(BalancedMinimumEvolution, RefusesTooFewTaxaOrAMatrixOfTheWrongSize) {
    const std::vector<double> two{0, 1, 1, 0};
    EXPECT_THROW(balanced_minimum_evolution(two, 2), FatalError);
    const std::vector<double> short_matrix(8, 1.0);
    EXPECT_THROW(balanced_minimum_evolution(short_matrix, 3), FatalError);
}

}  // namespace
}  // namespace treetally
