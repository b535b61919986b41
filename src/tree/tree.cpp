#include "tree/tree.hpp"

namespace treetally {

namespace {
constexpr std::int32_t root_taxon_marker = -42;
constexpr double root_branch_length = -1.0;
}  // namespace

Tree::Tree()
    : node_taxon_{root_taxon_marker},
      parent_{0},
      branch_length_{root_branch_length},
      first_child_{-1},
      next_sibling_{-1},
      child_count_{0} {}

std::size_t Tree::heap_bytes() const {
    return node_taxon_.capacity() * sizeof(std::int32_t) +
           parent_.capacity() * sizeof(std::int32_t) + branch_length_.capacity() * sizeof(double) +
           first_child_.capacity() * sizeof(std::int32_t) +
           next_sibling_.capacity() * sizeof(std::int32_t) +
           child_count_.capacity() * sizeof(std::int32_t);
}

void TreeBuilder::reserve(std::size_t node_count) {
    tree_.node_taxon_.reserve(node_count);
    tree_.parent_.reserve(node_count);
    tree_.branch_length_.reserve(node_count);
    tree_.first_child_.reserve(node_count);
    tree_.next_sibling_.reserve(node_count);
    tree_.child_count_.reserve(node_count);
}

NodeId TreeBuilder::append_child_of(NodeId parent) {
    const std::size_t parent_index = at(parent);
    if (tree_.node_count() >= max_id_count)
        fail("tree too large: a tree may hold at most 2147483647 nodes");
    const NodeId node{static_cast<std::int32_t>(tree_.node_count())};
    tree_.node_taxon_.push_back(-1);
    tree_.parent_.push_back(parent.value);
    tree_.branch_length_.push_back(0.0);
    tree_.first_child_.push_back(-1);
    tree_.next_sibling_.push_back(-1);
    tree_.child_count_.push_back(0);
    ++tree_.child_count_[parent_index];
    return node;
}

Tree TreeBuilder::finish() && {
    tree_.root_is_bifurcating_ = tree_.child_count_[0] == 2;
    tree_.node_taxon_.shrink_to_fit();
    tree_.parent_.shrink_to_fit();
    tree_.branch_length_.shrink_to_fit();
    tree_.first_child_.shrink_to_fit();
    tree_.next_sibling_.shrink_to_fit();
    tree_.child_count_.shrink_to_fit();
    return std::move(tree_);
}

}  // namespace treetally
