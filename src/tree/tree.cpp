#include "tree/tree.hpp"

#include <type_traits>

#include "base/messages.hpp"

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

void Tree::reset_to_root() {
    for_each_array(*this, [](auto& array) { array.clear(); });
    node_taxon_.push_back(root_taxon_marker);
    parent_.push_back(0);
    branch_length_.push_back(root_branch_length);
    first_child_.push_back(-1);
    next_sibling_.push_back(-1);
    child_count_.push_back(0);
    root_is_bifurcating_ = false;
}

std::size_t Tree::heap_bytes() const {
    std::size_t bytes = 0;
    for_each_array(*this, [&](const auto& array) {
        bytes += array.capacity() * sizeof(typename std::decay_t<decltype(array)>::value_type);
    });
    return bytes;
}

std::size_t Tree::heap_block_count() const {
    std::size_t blocks = 0;
    for_each_array(*this, [&](const auto& array) { blocks += array.capacity() > 0 ? 1 : 0; });
    return blocks;
}

void TreeBuilder::reserve(std::size_t node_count) {
    Tree::for_each_array(tree_, [&](auto& array) { array.reserve(node_count); });
}

NodeId TreeBuilder::append_child_of(NodeId parent) {
    const std::size_t parent_index = at(parent);
    if (tree_.node_count() >= max_id_count) fail(ErrorKind::too_large, messages::tree_too_large);
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

TreeBuilder::TreeBuilder(Tree&& recycled) : tree_(std::move(recycled)) {
    tree_.reset_to_root();
}

Tree TreeBuilder::finish() && {
    Tree::for_each_array(tree_, [](auto& array) { array.shrink_to_fit(); });
    return std::move(*this).finish_keeping_room();
}

Tree TreeBuilder::finish_keeping_room() && {
    tree_.root_is_bifurcating_ = tree_.child_count_[0] == 2;
    return std::move(tree_);
}

}  // namespace treetally
