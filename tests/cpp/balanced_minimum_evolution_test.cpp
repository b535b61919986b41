// Tests of balanced minimum evolution: a tree metric gives back its tree and lengths, in the
// form readers of a joined tree expect, and no SPR move shortens the result (by Pauplin's
// formula, counted afresh). Its length against joining's is tested from Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "base/fatal_error.hpp"
#include "species/balanced_minimum_evolution.hpp"

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

// Neighbours of each node of a tree given as parents, taxa first: three slots, -1 unused.
using Slots = std::vector<std::vector<std::int64_t>>;

Slots slots_of(const JoinedTree& tree) {
    Slots around(tree.parent.size());
    for (std::size_t v = 0; v < tree.parent.size(); ++v) {
        if (tree.parent[v] < 0) continue;
        around[v].push_back(tree.parent[v]);
        around[static_cast<std::size_t>(tree.parent[v])].push_back(static_cast<std::int64_t>(v));
    }
    return around;
}

// Pauplin's formula by steps counted afresh: the sum over i < j of 2^(1 - steps) d(i, j).
double pauplin(const Slots& around, const std::vector<double>& d, std::size_t n) {
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<int> steps(around.size(), -1);
        std::vector<std::size_t> queue{i};
        steps[i] = 0;
        for (std::size_t head = 0; head < queue.size(); ++head)
            for (const std::int64_t w : around[queue[head]])
                if (steps[static_cast<std::size_t>(w)] < 0) {
                    steps[static_cast<std::size_t>(w)] = steps[queue[head]] + 1;
                    queue.push_back(static_cast<std::size_t>(w));
                }
        for (std::size_t j = i + 1; j < n; ++j) total += std::ldexp(d[i * n + j], 1 - steps[j]);
    }
    return total;
}

void swap_neighbour(Slots& around, std::int64_t v, std::int64_t from, std::int64_t to) {
    for (auto& w : around[static_cast<std::size_t>(v)])
        if (w == from) w = to;
}

// The shortest tree one SPR away: every subtree pruned where it hangs and put on every edge.
double shortest_spr_neighbour(const JoinedTree& tree, const std::vector<double>& d, std::size_t n) {
    const Slots around = slots_of(tree);
    double best = INFINITY;
    for (std::size_t u = n; u < around.size(); ++u) {
        for (std::size_t s = 0; s < 3; ++s) {
            const std::int64_t x = around[u][s], a = around[u][(s + 1) % 3], b = around[u][(s + 2) % 3];
            Slots pruned = around;
            swap_neighbour(pruned, a, static_cast<std::int64_t>(u), b);
            swap_neighbour(pruned, b, static_cast<std::int64_t>(u), a);
            for (std::size_t q = 0; q < around.size(); ++q) {
                for (const std::int64_t y : pruned[q]) {
                    // Edges once each, none inside the pruned part or through u.
                    if (static_cast<std::int64_t>(q) > y || q == u || y == static_cast<std::int64_t>(u)) continue;
                    Slots moved = pruned;
                    moved[u] = {x, static_cast<std::int64_t>(q), y};
                    swap_neighbour(moved, static_cast<std::int64_t>(q), y, static_cast<std::int64_t>(u));
                    swap_neighbour(moved, y, static_cast<std::int64_t>(q), static_cast<std::int64_t>(u));
                    // Only trees that still hold every node together count.
                    std::vector<std::size_t> seen{0};
                    std::vector<bool> met(around.size(), false);
                    met[0] = true;
                    for (std::size_t head = 0; head < seen.size(); ++head)
                        for (const std::int64_t w : moved[seen[head]])
                            if (!met[static_cast<std::size_t>(w)]) {
                                met[static_cast<std::size_t>(w)] = true;
                                seen.push_back(static_cast<std::size_t>(w));
                            }
                    if (seen.size() == around.size()) best = std::min(best, pauplin(moved, d, n));
                }
            }
        }
    }
    return best;
}

TEST(BalancedMinimumEvolution, NoSprMoveShortensTheResult) {
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int> noise(0, 40);
    for (const std::size_t n : {5, 6, 8, 10}) {
        for (int trial = 0; trial < 40; ++trial) {
            std::vector<double> d = path_metric(random_tree(n, random), n);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = i + 1; j < n; ++j) d[i * n + j] = d[j * n + i] = d[i * n + j] + noise(random);
            const JoinedTree built = balanced_minimum_evolution(d, n);
            const double length = pauplin(slots_of(built), d, n);
            EXPECT_NEAR(length, balanced_length(built, d, n), 1e-9);
            EXPECT_GE(shortest_spr_neighbour(built, d, n), length * (1 - 1e-12)) << n << " taxa, trial " << trial;
        }
    }
}

TEST(BalancedMinimumEvolution, RefusesTooFewTaxaOrAMatrixOfTheWrongSize) {
    const std::vector<double> two{0, 1, 1, 0};
    EXPECT_THROW(balanced_minimum_evolution(two, 2), FatalError);
    const std::vector<double> short_matrix(8, 1.0);
    EXPECT_THROW(balanced_minimum_evolution(short_matrix, 3), FatalError);
}

}  // namespace
}  // namespace treetally
