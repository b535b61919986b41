#include "species/balanced_minimum_evolution.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <ranges>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/fatal_error.hpp"

namespace treetally {
namespace {

// A move must shorten the tree by more than this share of its length.
constexpr double relative_epsilon = 1e-12;
constexpr std::int32_t none = -1;

// Pauplin's length of a tree given as three neighbour slots per node (-1 where a node has
// fewer), taxa 0 .. n-1 being the nodes of one neighbour: one breadth-first walk per taxon.
double pauplin_length(const std::vector<std::int32_t>& neighbours, std::size_t n,
                      std::span<const double> distance) {
    const std::size_t nodes = neighbours.size() / 3;
    std::vector<std::int32_t> steps(nodes, none);
    std::vector<std::int32_t> queue;
    queue.reserve(nodes);
    double length = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (neighbours[3 * i] == none) continue;  // not in the tree yet
        std::fill(steps.begin(), steps.end(), none);
        queue.assign(1, static_cast<std::int32_t>(i));
        steps[i] = 0;
        for (std::size_t head = 0; head < queue.size(); ++head) {
            const std::int32_t v = queue[head];
            for (std::size_t s = 0; s < 3; ++s) {
                const std::int32_t w = neighbours[3 * static_cast<std::size_t>(v) + s];
                if (w == none || steps[static_cast<std::size_t>(w)] != none) continue;
                steps[static_cast<std::size_t>(w)] = steps[static_cast<std::size_t>(v)] + 1;
                queue.push_back(w);
            }
        }
        for (std::size_t j = i + 1; j < n; ++j)
            if (steps[j] != none) length += std::ldexp(distance[i * n + j], 1 - steps[j]);
    }
    return length;
}

// The best move a search has met: put the pruned subtree (or the taxon inserted) on the edge
// between q and y.
struct Move {
    double gain;
    std::int32_t pruned = none;  // directed subtree moved (none when inserting a taxon)
    std::int32_t q = none;
    std::int32_t y = none;
};

// One place of a walk over the edges away from where a subtree was: the edge (from, q) in the
// tree without the subtree, v the directed subtree (q -> from) of the whole tree, `share` the
// weight of the pruning point within it, dxv the average of the subtree against v without it,
// `gain` how much shorter the tree is with the subtree on this edge.
struct Step {
    std::int32_t from;
    std::int32_t q;
    std::int32_t v;
    double share;
    double dxv;
    double gain;
    std::size_t depth;
};

class SearchTree {
  public:
    SearchTree(std::span<const double> distance, std::size_t n)
        : n_(n), distance_(distance), neighbours_(3 * (2 * n - 2), none) {
        // The star of taxa 0, 1 and 2 about node n.
        for (std::int32_t k = 0; k < 3; ++k) {
            neighbours_[3 * static_cast<std::size_t>(k)] = static_cast<std::int32_t>(n);
            neighbours_[3 * n + static_cast<std::size_t>(k)] = k;
        }
        leaves_ = 3;
        internal_ = 1;
        // The most the averages take, once: growing them as taxa come would copy them over.
        const std::size_t most = 4 * n - 6;
        averages_.reserve(most * most);
        cross_.reserve(most * n);
    }

    // Taxa 3 .. n-1 in turn, each on the edge that leaves the tree shortest.
    void insert_all(const InterruptCheck& interrupt) {
        for (std::size_t k = 3; k < n_; ++k) {
            interrupt();
            averages(true);
            const auto taxon = static_cast<std::int32_t>(k);
            const std::int32_t q = neighbours_[0];
            const std::int32_t start = dir(q, 0);
            Move best{0.0, none, q, 0};
            walk(Step{0, q, start, 0.0, cross_[static_cast<std::size_t>(start) * n_ + k], 0.0, 0},
                 none, none, [&](std::int32_t subtree) { return cross_[static_cast<std::size_t>(subtree) * n_ + k]; },
                 n_, best);
            const auto w = static_cast<std::int32_t>(n_ + internal_);
            replace(best.q, best.y, w);
            replace(best.y, best.q, w);
            set(w, {best.q, best.y, taxon});
            neighbours_[3 * k] = w;
            ++leaves_;
            ++internal_;
        }
    }

    // Moves of subtrees up to `reach` edges away (1: NNIs; n: every SPR), the one that shortens
    // the tree most each time, until none shortens it by more than the tolerance. Each move
    // shortens the tree, so the tree never comes back and the loop ends; the cap on moves
    // stands against rounding alone.
    void improve(std::size_t reach, const InterruptCheck& interrupt) {
        const std::size_t cap = 16 * n_ * n_ + 16;
        // The length falls by each move's gain; the tolerance stays that of the length at the
        // start, a little more than the length's own.
        const double tolerance = relative_epsilon * std::fabs(pauplin_length(neighbours_, n_, distance_));
        for (std::size_t moves = 0; moves < cap; ++moves) {
            interrupt();
            averages(false);
            Move best{tolerance};
            for (std::size_t node = n_; node < n_ + internal_; ++node) {
                const auto u = static_cast<std::int32_t>(node);
                for (std::size_t s = 0; s < 3; ++s) {
                    const std::int32_t x = neighbour(u, s);
                    const std::int32_t a = neighbour(u, (s + 1) % 3);
                    const std::int32_t b = neighbour(u, (s + 2) % 3);
                    const std::int32_t pruned = dir(u, x);
                    auto to_pruned = [&](std::int32_t subtree) { return average(pruned, subtree); };
                    for (const auto& [there, other] : {std::pair{b, a}, std::pair{a, b}}) {
                        const std::int32_t kept = dir(u, other);
                        walk(Step{u, there, dir(there, u), 0.5, average(pruned, kept), 0.0, 0}, kept,
                             pruned, to_pruned, reach, best);
                    }
                }
            }
            if (best.pruned == none) return;
            move(best);
        }
    }

    JoinedTree result() {
        averages(false);
        // The least taxon of each directed subtree, smaller subtrees first.
        std::vector<std::int32_t> least(subtrees_);
        for (const std::int32_t t : by_size_) {
            const auto k = static_cast<std::size_t>(t);
            least[k] = first_child_[k] == none ? to_[k]
                                               : std::min(least[static_cast<std::size_t>(first_child_[k])],
                                                          least[static_cast<std::size_t>(second_child_[k])]);
        }
        // Preorder from the centre, children of greatest least taxon first, so that in reverse
        // every node follows its children and siblings follow their least taxa.
        const std::int32_t centre = neighbours_[0];
        std::vector<std::pair<std::int32_t, std::int32_t>> preorder;  // (node, parent)
        std::vector<std::pair<std::int32_t, std::int32_t>> stack{{centre, none}};
        while (!stack.empty()) {
            const auto [v, above] = stack.back();
            stack.pop_back();
            preorder.emplace_back(v, above);
            if (static_cast<std::size_t>(v) < n_) continue;
            std::vector<std::int32_t> below;
            for (std::size_t s = 0; s < 3; ++s)
                if (neighbour(v, s) != above) below.push_back(neighbour(v, s));
            std::sort(below.begin(), below.end(), [&](std::int32_t p, std::int32_t r) {
                return least[static_cast<std::size_t>(dir(v, p))] < least[static_cast<std::size_t>(dir(v, r))];
            });
            for (const std::int32_t w : below) stack.emplace_back(w, v);
        }
        std::vector<std::int32_t> id(neighbours_.size() / 3, none);
        std::size_t next = n_;
        for (const auto& entry : std::ranges::reverse_view(preorder))
            id[static_cast<std::size_t>(entry.first)] =
                static_cast<std::size_t>(entry.first) < n_ ? entry.first : static_cast<std::int32_t>(next++);
        JoinedTree tree{std::vector<std::int64_t>(2 * n_ - 2, -1), std::vector<double>(2 * n_ - 2, 0.0)};
        for (const auto& [v, above] : preorder) {
            if (above == none) continue;
            const auto k = static_cast<std::size_t>(id[static_cast<std::size_t>(v)]);
            tree.parent[k] = id[static_cast<std::size_t>(above)];
            tree.length[k] = edge_length(above, v);
        }
        return tree;
    }

  private:
    std::int32_t neighbour(std::int32_t v, std::size_t slot) const {
        return neighbours_[3 * static_cast<std::size_t>(v) + slot];
    }
    std::size_t degree(std::int32_t v) const { return static_cast<std::size_t>(v) < n_ ? 1 : 3; }
    void set(std::int32_t v, std::initializer_list<std::int32_t> around) {
        std::copy(around.begin(), around.end(), neighbours_.begin() + 3 * static_cast<std::ptrdiff_t>(v));
    }
    void replace(std::int32_t v, std::int32_t old_neighbour, std::int32_t new_neighbour) {
        for (std::size_t s = 0; s < degree(v); ++s)
            if (neighbour(v, s) == old_neighbour) {
                neighbours_[3 * static_cast<std::size_t>(v) + s] = new_neighbour;
                return;
            }
        fail("balanced minimum evolution lost an edge of its tree");
    }
    // The directed subtree (u -> x): the part holding x once the edge between them is cut.
    std::int32_t dir(std::int32_t u, std::int32_t x) const {
        for (std::size_t s = 0; s < degree(u); ++s)
            if (neighbour(u, s) == x) return index_[3 * static_cast<std::size_t>(u) + s];
        fail("balanced minimum evolution lost an edge of its tree");
    }
    // The balanced average distance of two disjoint directed subtrees.
    double average(std::int32_t p, std::int32_t r) const {
        return averages_[static_cast<std::size_t>(r) * subtrees_ + static_cast<std::size_t>(p)];
    }

    // Numbers the directed subtrees of the tree as it stands and computes, smaller subtrees
    // first, each one's balanced average against every taxon in the tree (and the next one to
    // insert, with `with_next`) and against every other subtree (meaningful where the two are
    // disjoint): half the sum of its two halves' averages.
    void averages(bool with_next) {
        const std::size_t nodes = neighbours_.size() / 3;
        index_.assign(3 * nodes, none);
        from_.clear();
        to_.clear();
        auto present = [&](std::size_t v) { return v < leaves_ || (v >= n_ && v < n_ + internal_); };
        for (std::size_t v = 0; v < nodes; ++v) {
            if (!present(v)) continue;
            for (std::size_t s = 0; s < degree(static_cast<std::int32_t>(v)); ++s) {
                index_[3 * v + s] = static_cast<std::int32_t>(from_.size());
                from_.push_back(static_cast<std::int32_t>(v));
                to_.push_back(neighbours_[3 * v + s]);
            }
        }
        subtrees_ = from_.size();
        first_child_.assign(subtrees_, none);
        second_child_.assign(subtrees_, none);
        for (std::size_t t = 0; t < subtrees_; ++t) {
            const std::int32_t x = to_[t];
            if (static_cast<std::size_t>(x) < n_) continue;
            for (std::size_t s = 0; s < 3; ++s) {
                if (neighbour(x, s) == from_[t]) continue;
                (first_child_[t] == none ? first_child_[t] : second_child_[t]) = index_[3 * static_cast<std::size_t>(x) + s];
            }
        }
        // Sizes: below each node from taxon 0 by a breadth-first walk, then the subtrees.
        std::vector<std::int32_t> order{0};
        std::vector<std::int32_t> above(nodes, none);
        for (std::size_t head = 0; head < order.size(); ++head) {
            const std::int32_t v = order[head];
            for (std::size_t s = 0; s < degree(v); ++s) {
                const std::int32_t w = neighbour(v, s);
                if (w == above[static_cast<std::size_t>(v)]) continue;
                above[static_cast<std::size_t>(w)] = v;
                order.push_back(w);
            }
        }
        std::vector<std::size_t> below(nodes, 0);
        for (const auto node : std::ranges::reverse_view(order)) {
            const auto v = static_cast<std::size_t>(node);
            if (v < n_) below[v] = 1;
            if (above[v] != none) below[static_cast<std::size_t>(above[v])] += below[v];
        }
        std::vector<std::size_t> size(subtrees_);
        for (std::size_t t = 0; t < subtrees_; ++t) {
            const auto u = static_cast<std::size_t>(from_[t]), x = static_cast<std::size_t>(to_[t]);
            size[t] = above[x] == from_[t] ? below[x] : leaves_ - below[u];
        }
        // Counting sort by size, ties in index order.
        std::vector<std::size_t> start(leaves_ + 2, 0);
        for (const std::size_t s : size) ++start[s + 1];
        for (std::size_t s = 1; s < start.size(); ++s) start[s] += start[s - 1];
        by_size_.assign(subtrees_, none);
        for (std::size_t t = 0; t < subtrees_; ++t) by_size_[start[size[t]]++] = static_cast<std::int32_t>(t);

        // Every entry read below is written first: no need to clear.
        const std::size_t columns = with_next ? leaves_ + 1 : leaves_;
        cross_.resize(subtrees_ * n_);
        for (const std::int32_t t : by_size_) {
            const auto k = static_cast<std::size_t>(t);
            double* row = &cross_[k * n_];
            if (first_child_[k] == none) {
                const auto x = static_cast<std::size_t>(to_[k]);
                for (std::size_t j = 0; j < columns; ++j) row[j] = distance_[x * n_ + j];
            } else {
                const double* one = &cross_[static_cast<std::size_t>(first_child_[k]) * n_];
                const double* two = &cross_[static_cast<std::size_t>(second_child_[k]) * n_];
                for (std::size_t j = 0; j < columns; ++j) row[j] = 0.5 * (one[j] + two[j]);
            }
        }
        averages_.resize(subtrees_ * subtrees_);
        for (const std::int32_t t : by_size_) {
            const auto k = static_cast<std::size_t>(t);
            double* column = &averages_[k * subtrees_];
            if (first_child_[k] == none) {
                const auto x = static_cast<std::size_t>(to_[k]);
                for (std::size_t p = 0; p < subtrees_; ++p) column[p] = cross_[p * n_ + x];
            } else {
                const double* one = &averages_[static_cast<std::size_t>(first_child_[k]) * subtrees_];
                const double* two = &averages_[static_cast<std::size_t>(second_child_[k]) * subtrees_];
                for (std::size_t p = 0; p < subtrees_; ++p) column[p] = 0.5 * (one[p] + two[p]);
            }
        }
    }

    // Walks the edges away from `first` up to `reach` steps. Moving a subtree X from the edge
    // (from, q) to (q, y), q's third neighbour z, shortens the tree by
    // ((D(X,V) + D(Y,Z)) - (D(X,Y) + D(V,Z))) / 4, V being the side of `from` without X. V's
    // averages come from the whole tree's: removing X doubles the weight of `kept`, the subtree
    // it hung beside, whose share in V halves with each step (none when a taxon is inserted).
    template <class ToMoved>
    void walk(const Step& first, std::int32_t kept, std::int32_t moved, const ToMoved& to_moved,
              std::size_t reach, Move& best) const {
        std::vector<Step> stack{first};
        while (!stack.empty()) {
            const Step step = stack.back();
            stack.pop_back();
            if (static_cast<std::size_t>(step.q) < n_) continue;
            std::size_t others[2];
            std::size_t count = 0;
            for (std::size_t s = 0; s < 3; ++s)
                if (neighbour(step.q, s) != step.from) others[count++] = s;
            for (std::size_t t = 0; t < 2; ++t) {
                const std::int32_t y = neighbour(step.q, others[t]);
                const std::int32_t there = index_[3 * static_cast<std::size_t>(step.q) + others[t]];
                const std::int32_t other = index_[3 * static_cast<std::size_t>(step.q) + others[1 - t]];
                double v_other = average(step.v, other);
                if (kept != none) v_other += step.share * (average(kept, other) - average(moved, other));
                const double gain =
                    step.gain + 0.25 * ((step.dxv + average(there, other)) - (to_moved(there) + v_other));
                if (gain > best.gain) best = Move{gain, moved, step.q, y};
                if (step.depth + 1 < reach)
                    stack.push_back(Step{step.q, y, dir(y, step.q), 0.5 * step.share,
                                         0.5 * (step.dxv + to_moved(other)), gain, step.depth + 1});
            }
        }
    }

    // Prunes the subtree of `chosen` where it hangs and puts it on the edge (q, y).
    void move(const Move& chosen) {
        const auto k = static_cast<std::size_t>(chosen.pruned);
        const std::int32_t u = from_[k], x = to_[k];
        std::int32_t a = none, b = none;
        for (std::size_t s = 0; s < 3; ++s) {
            const std::int32_t w = neighbour(u, s);
            if (w == x) continue;
            (a == none ? a : b) = w;
        }
        replace(a, u, b);
        replace(b, u, a);
        replace(chosen.q, chosen.y, u);
        replace(chosen.y, chosen.q, u);
        set(u, {x, chosen.q, chosen.y});
    }

    // The balanced least-squares length of the edge between u (internal) and v.
    double edge_length(std::int32_t u, std::int32_t v) const {
        // The two other subtrees at each end (u and v are neighbours: at most two of three).
        std::array<std::int32_t, 2> side{};
        std::size_t count = 0;
        for (std::size_t s = 0; s < 3 && count < side.size(); ++s)
            if (neighbour(u, s) != v) side[count++] = index_[3 * static_cast<std::size_t>(u) + s];
        const std::int32_t a = side[0], b = side[1];
        if (static_cast<std::size_t>(v) < n_) {
            const std::int32_t leaf = dir(u, v);
            return 0.5 * (average(leaf, a) + average(leaf, b) - average(a, b));
        }
        count = 0;
        for (std::size_t s = 0; s < 3 && count < side.size(); ++s)
            if (neighbour(v, s) != u) side[count++] = index_[3 * static_cast<std::size_t>(v) + s];
        const std::int32_t c = side[0], d = side[1];
        return 0.25 * (average(a, c) + average(a, d) + average(b, c) + average(b, d)) -
               0.5 * (average(a, b) + average(c, d));
    }

    std::size_t n_;
    std::span<const double> distance_;
    std::vector<std::int32_t> neighbours_;  // three slots per node; a taxon uses the first
    std::size_t leaves_ = 0;                // taxa 0 .. leaves_-1 are in the tree
    std::size_t internal_ = 0;              // and nodes n .. n + internal_ - 1
    // The directed subtrees as averages() numbers them.
    std::vector<std::int32_t> index_;  // of each node's slot
    std::vector<std::int32_t> from_, to_, first_child_, second_child_, by_size_;
    std::size_t subtrees_ = 0;
    std::vector<double> cross_;     // subtree x taxon, n_ per row
    std::vector<double> averages_;  // subtree x subtree, column by column
};

}  // namespace

JoinedTree balanced_minimum_evolution(std::span<const double> distance, std::size_t n,
                                      const InterruptCheck& interrupt) {
    if (n < 3) fail("a tree is built from at least three taxa, not " + std::to_string(n));
    if (distance.size() / n != n || distance.size() % n != 0)
        fail("a distance matrix of " + std::to_string(n) + " taxa holds n * n values");
    SearchTree tree(distance, n);
    tree.insert_all(interrupt);
    tree.improve(1, interrupt);
    tree.improve(n, interrupt);
    return tree.result();
}

std::size_t balanced_minimum_evolution_bytes(std::size_t n) {
    const std::size_t subtrees = 4 * n;
    if (n != 0 && subtrees / n != 4) return std::numeric_limits<std::size_t>::max();
    const std::size_t most = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (subtrees != 0 && (subtrees > most / subtrees || subtrees * subtrees > most - subtrees * n))
        return std::numeric_limits<std::size_t>::max();
    return (subtrees * subtrees + subtrees * n) * sizeof(double);
}

double balanced_length(const JoinedTree& tree, std::span<const double> distance, std::size_t n) {
    if (tree.parent.size() != 2 * n - 2 || distance.size() != n * n)
        fail("a tree of " + std::to_string(n) + " taxa has 2n - 2 nodes and n * n distances");
    std::vector<std::int32_t> neighbours(3 * tree.parent.size(), none);
    std::vector<std::size_t> used(tree.parent.size(), 0);
    auto link = [&](std::size_t v, std::int64_t w) {
        if (used[v] == (v < n ? 1 : 3)) fail("a tree's node has too many neighbours");
        neighbours[3 * v + used[v]++] = static_cast<std::int32_t>(w);
    };
    for (std::size_t v = 0; v < tree.parent.size(); ++v) {
        if (tree.parent[v] < 0) continue;
        link(v, tree.parent[v]);
        link(static_cast<std::size_t>(tree.parent[v]), static_cast<std::int64_t>(v));
    }
    return pauplin_length(neighbours, n, distance);
}

}  // namespace treetally
