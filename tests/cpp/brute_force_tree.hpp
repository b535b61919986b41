// Brute-force answers about one parsed tree, from its parent and length arrays alone: the
// slow truth that the LCA index, the classifiers and the sweeps are checked against, by the
// randomised tests and by the fuzz harnesses. Walks parent links; no index, no recursion.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <vector>

#include "quintet_rows.hpp"
#include "tree/tree.hpp"

namespace treetally::test {

class BruteForceTree {
  public:
    // Depths and root distances, parent first: the reader numbers nodes in preorder, so a
    // parent's id is below its children's.
    explicit BruteForceTree(const Tree& tree) : tree_(tree) {
        const std::size_t n = tree.node_count();
        depth_.assign(n, 0);
        distance_.assign(n, 0.0);
        for (std::size_t v = 1; v < n; ++v) {
            const std::size_t p = parent_of(v);
            depth_[v] = depth_[p] + 1;
            distance_[v] = distance_[p] + tree.branch_length(node(v));
        }
    }

    const Tree& tree() const { return tree_; }
    std::uint32_t depth(std::size_t v) const { return depth_.at(v); }
    // The lengths summed from the root down, in the order the index sums them.
    double distance(std::size_t v) const { return distance_.at(v); }

    std::size_t lca(std::size_t a, std::size_t b) const {
        while (depth_[a] > depth_[b]) a = parent_of(a);
        while (depth_[b] > depth_[a]) b = parent_of(b);
        while (a != b) {
            a = parent_of(a);
            b = parent_of(b);
        }
        return a;
    }

    // Sum of the branch lengths on the path, edge by edge.
    double path_sum(std::size_t a, std::size_t b) const {
        const std::size_t top = lca(a, b);
        double sum = 0.0;
        for (; a != top; a = parent_of(a)) sum += tree_.branch_length(node(a));
        for (; b != top; b = parent_of(b)) sum += tree_.branch_length(node(b));
        return sum;
    }

    // The leaf that carries each taxon (the last one in preorder), or nullopt when the taxon
    // is missing or sits on the root itself.
    std::vector<std::optional<std::size_t>> taxon_leaves(std::size_t taxon_count) const {
        std::vector<std::optional<std::size_t>> leaves(taxon_count);
        for (std::size_t v = 0; v < tree_.node_count(); ++v) {
            const auto taxon = tree_.taxon_of(node(v));
            if (taxon) leaves[taxon->index()] = v;
        }
        for (auto& leaf : leaves)
            if (leaf == std::size_t{0}) leaf.reset();
        return leaves;
    }

    // The nontrivial splits that the tree displays on the given leaves, each as the set of
    // slots (bit k = slot k) on the side without slot 0.
    std::set<unsigned> splits_on(const std::vector<std::size_t>& leaves) const {
        const unsigned all = (1u << leaves.size()) - 1;
        std::vector<unsigned> below(tree_.node_count(), 0);
        for (std::size_t k = 0; k < leaves.size(); ++k) {
            std::size_t v = leaves[k];
            while (true) {
                below[v] |= 1u << k;
                if (v == 0) break;
                v = parent_of(v);
            }
        }
        std::set<unsigned> splits;
        for (std::size_t v = 1; v < below.size(); ++v) {
            const unsigned side = (below[v] & 1u) ? (all & ~below[v]) : below[v];
            const int size = std::popcount(side);
            if (size >= 2 && size <= static_cast<int>(leaves.size()) - 2) splits.insert(side);
        }
        return splits;
    }

    // The quartet code of four leaves, from the one split they can show.
    std::optional<std::uint8_t> quartet_code(const std::vector<std::size_t>& leaves) const {
        const std::set<unsigned> splits = splits_on(leaves);
        if (splits.empty()) return std::nullopt;
        if (splits.size() != 1) throw std::logic_error("four leaves show more than one split");
        // The side without slot 0 has two slots; slot 0's partner is the remaining one.
        const unsigned partner_bit = 0b1110u & ~*splits.begin();
        return static_cast<std::uint8_t>(std::countr_zero(partner_bit) - 1);
    }

    // The quintet code of five leaves, from the two splits they show when resolved.
    std::optional<std::uint8_t> quintet_code(const std::vector<std::size_t>& leaves) const {
        const std::set<unsigned> splits = splits_on(leaves);
        if (splits.size() > 2) throw std::logic_error("five leaves show more than two splits");
        if (splits.size() < 2) return std::nullopt;
        std::vector<unsigned> cherries;
        for (unsigned side : splits)
            cherries.push_back(std::popcount(side) == 2 ? side : 0b11111u & ~side);
        const unsigned middle = 0b11111u & ~(cherries[0] | cherries[1]);
        if (std::popcount(middle) != 1) throw std::logic_error("two cherries overlap");
        const int x = std::countr_zero(cherries[0]);
        const int y = std::countr_zero(cherries[0] & (cherries[0] - 1));
        return quintet_code_with(x, y, std::countr_zero(middle));
    }

  private:
    static NodeId node(std::size_t v) { return NodeId{static_cast<std::int32_t>(v)}; }
    std::size_t parent_of(std::size_t v) const { return tree_.parent(node(v)).index(); }

    const Tree& tree_;
    std::vector<std::uint32_t> depth_;
    std::vector<double> distance_;
};

}  // namespace treetally::test
