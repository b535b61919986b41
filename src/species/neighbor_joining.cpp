#include "species/neighbor_joining.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "base/fatal_error.hpp"

namespace treetally {

JoinedTree neighbor_joining(std::span<const double> distance, std::size_t n,
                            const InterruptCheck& interrupt) {
    if (n < 3) fail("a tree is joined from at least three taxa, not " + std::to_string(n));
    if (distance.size() / n != n || distance.size() % n != 0)
        fail("a distance matrix of " + std::to_string(n) + " taxa holds n * n values");
    // Rows by position; a joined node takes the position of the first of its two.
    std::vector<double> d(distance.begin(), distance.end());
    auto at = [&](std::size_t i, std::size_t j) -> double& { return d[i * n + j]; };
    std::vector<std::size_t> node(n);  // node at each position still active
    std::vector<std::size_t> active(n);
    for (std::size_t k = 0; k < n; ++k) node[k] = active[k] = k;
    JoinedTree tree{std::vector<std::int64_t>(2 * n - 2, -1), std::vector<double>(2 * n - 2, 0.0)};
    std::vector<double> totals(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < n; ++k)
            if (k != i) totals[i] += at(i, k);
    std::size_t next_node = n;
    while (active.size() > 3) {
        interrupt();
        const std::size_t m = active.size();
        const auto scale = static_cast<double>(m - 2);
        auto criterion = [&](std::size_t i, std::size_t j) {
            return scale * at(i, j) - totals[i] - totals[j];
        };
        // The first pair stands until a pair with a smaller Q comes, so that a Q no pair
        // beats (all infinite) still joins something.
        std::size_t best_i = active[0], best_j = active[1];
        double best = criterion(best_i, best_j);
        for (std::size_t a = 0; a < m; ++a) {
            const std::size_t i = active[a];
            for (std::size_t b = a + 1; b < m; ++b) {
                const std::size_t j = active[b];
                const double q = criterion(i, j);
                if (q < best) {
                    best = q;
                    best_i = i;
                    best_j = j;
                }
            }
        }
        const std::size_t i = best_i, j = best_j;
        const double d_ij = at(i, j);
        const double to_i = d_ij / 2.0 + (totals[i] - totals[j]) / (2.0 * scale);
        tree.parent[node[i]] = static_cast<std::int64_t>(next_node);
        tree.length[node[i]] = to_i;
        tree.parent[node[j]] = static_cast<std::int64_t>(next_node);
        tree.length[node[j]] = d_ij - to_i;
        active.erase(std::find(active.begin(), active.end(), j));
        totals[i] = 0.0;
        for (const std::size_t k : active) {
            if (k == i) continue;
            const double joined = (at(i, k) + at(j, k) - d_ij) / 2.0;
            totals[k] += joined - at(i, k) - at(j, k);
            at(i, k) = at(k, i) = joined;
            totals[i] += joined;
        }
        node[i] = next_node;
        ++next_node;
    }
    const std::size_t x = active[0], y = active[1], z = active[2];
    const std::size_t centre = next_node;
    for (const auto& [first, second, third] :
         {std::array{x, y, z}, std::array{y, x, z}, std::array{z, x, y}}) {
        tree.parent[node[first]] = static_cast<std::int64_t>(centre);
        tree.length[node[first]] = (at(first, second) + at(first, third) - at(second, third)) / 2.0;
    }
    tree.parent.resize(centre + 1);
    tree.length.resize(centre + 1);
    return tree;
}

}  // namespace treetally
