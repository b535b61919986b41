// One rooted tree stored as parallel per-node arrays, exactly as written in its Newick text.
// Node 0 is the root, ids are in preorder, and children are linked left to right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "base/fatal_error.hpp"
#include "tree/ids.hpp"

namespace treetally {

class TreeBuilder;

class Tree {
  public:
    // Forward range over the children of one node, leftmost first; allocates nothing.
    class ChildRange {
      public:
        class iterator {
          public:
            using value_type = NodeId;
            using difference_type = std::ptrdiff_t;
            iterator() = default;
            iterator(const Tree* tree, NodeId node) : tree_(tree), node_(node) {}
            NodeId operator*() const { return node_; }
            iterator& operator++() {
                node_ = tree_->next_sibling(node_);
                return *this;
            }
            iterator operator++(int) {
                iterator before = *this;
                ++*this;
                return before;
            }
            bool operator==(const iterator& other) const { return node_ == other.node_; }

          private:
            const Tree* tree_ = nullptr;
            NodeId node_ = NodeId::none();
        };

        ChildRange(const Tree* tree, NodeId first) : tree_(tree), first_(first) {}
        iterator begin() const { return {tree_, first_}; }
        iterator end() const { return {tree_, NodeId::none()}; }

      private:
        const Tree* tree_;
        NodeId first_;
    };

    // A tree of the root alone, with the root's initial values.
    Tree();

    std::size_t node_count() const { return parent_.size(); }
    // node_count, less one when the root has exactly two children (its final visit is not needed).
    std::size_t unrooted_node_count() const {
        return node_count() - (root_is_bifurcating_ ? 1 : 0);
    }
    bool root_is_bifurcating() const { return root_is_bifurcating_; }

    // Raw taxon field: a TaxonId when zero or more, otherwise the node has no taxon.
    std::int32_t node_taxon(NodeId node) const { return node_taxon_[at(node)]; }
    std::optional<TaxonId> taxon_of(NodeId node) const {
        const std::int32_t raw = node_taxon(node);
        if (raw < 0) return std::nullopt;
        return TaxonId{static_cast<std::uint32_t>(raw)};
    }
    NodeId parent(NodeId node) const { return NodeId{parent_[at(node)]}; }
    double branch_length(NodeId node) const { return branch_length_[at(node)]; }
    NodeId first_child(NodeId node) const { return NodeId{first_child_[at(node)]}; }
    NodeId next_sibling(NodeId node) const { return NodeId{next_sibling_[at(node)]}; }
    std::int32_t child_count(NodeId node) const { return child_count_[at(node)]; }
    ChildRange children(NodeId node) const { return {this, first_child(node)}; }

    // The whole arrays, for bulk readers and tests.
    std::span<const std::int32_t> node_taxons() const { return node_taxon_; }
    std::span<const std::int32_t> parents() const { return parent_; }
    std::span<const double> branch_lengths() const { return branch_length_; }
    std::span<const std::int32_t> first_children() const { return first_child_; }
    std::span<const std::int32_t> next_siblings() const { return next_sibling_; }
    std::span<const std::int32_t> child_counts() const { return child_count_; }

    // Bytes held by the per-node arrays, for memory accounting.
    std::size_t heap_bytes() const;
    // Heap blocks the arrays take, each of which costs the allocator its own bookkeeping.
    std::size_t heap_block_count() const;
    // Bytes the per-node arrays take for each node: what heap_bytes() is per node once the
    // arrays are trimmed to size.
    static constexpr std::size_t bytes_per_node() {
        return sizeof(decltype(node_taxon_)::value_type) + sizeof(decltype(parent_)::value_type) +
               sizeof(decltype(branch_length_)::value_type) +
               sizeof(decltype(first_child_)::value_type) +
               sizeof(decltype(next_sibling_)::value_type) +
               sizeof(decltype(child_count_)::value_type);
    }

    // Gives node `node` another taxon: a load that tells copies of one name apart renames the
    // later copies once the tree is read.
    void set_node_taxon(NodeId node, TaxonId taxon) {
        node_taxon_[at(node)] = static_cast<std::int32_t>(taxon.value);
    }

  private:
    friend class TreeBuilder;

    std::size_t at(NodeId node) const { return checked_index(node.index(), node_count()); }

    // Back to the root alone, with the root's initial values; the arrays keep their room.
    void reset_to_root();

    // Calls `visit` on each per-node array of `tree`, for what treats them all alike:
    // reserving, trimming, counting bytes.
    template <typename Self, typename Visit>
    static void for_each_array(Self& tree, Visit visit) {
        visit(tree.node_taxon_);
        visit(tree.parent_);
        visit(tree.branch_length_);
        visit(tree.first_child_);
        visit(tree.next_sibling_);
        visit(tree.child_count_);
    }

    std::vector<std::int32_t> node_taxon_;
    std::vector<std::int32_t> parent_;
    std::vector<double> branch_length_;
    std::vector<std::int32_t> first_child_;
    std::vector<std::int32_t> next_sibling_;
    std::vector<std::int32_t> child_count_;
    bool root_is_bifurcating_ = false;
};

// The only writer of Trees: appends nodes and sets fields while the Newick reader runs.
class TreeBuilder {
  public:
    TreeBuilder() = default;
    // Builds in the arrays of `recycled`, which start again from the root alone: a reader of
    // one tree after another allocates nothing once the arrays have room for the largest.
    explicit TreeBuilder(Tree&& recycled);

    // Makes room for `node_count` nodes in every array, so that appending stays in place.
    void reserve(std::size_t node_count);

    // Appends a node under `parent` (counted in the parent's child_count) and returns its id.
    NodeId append_child_of(NodeId parent);
    void set_first_child(NodeId node, NodeId child) { tree_.first_child_[at(node)] = child.value; }
    void set_next_sibling(NodeId node, NodeId sibling) {
        tree_.next_sibling_[at(node)] = sibling.value;
    }
    void set_taxon(NodeId node, TaxonId taxon) {
        tree_.node_taxon_[at(node)] = static_cast<std::int32_t>(taxon.value);
    }
    void set_branch_length(NodeId node, double length) { tree_.branch_length_[at(node)] = length; }

    const Tree& tree() const { return tree_; }
    // Sets the root flag, trims spare capacity and hands the finished tree over.
    Tree finish() &&;
    // The same without trimming, for a tree whose arrays will be built in again.
    Tree finish_keeping_room() &&;

  private:
    std::size_t at(NodeId node) const { return tree_.at(node); }

    Tree tree_;
};

}  // namespace treetally
