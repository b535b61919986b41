#include "lca/tree_lca.hpp"

#include <bit>
#include <vector>

namespace treetally {

namespace {

// A node whose children are being walked, with the next child still to visit.
struct PendingNode {
    NodeId node;
    NodeId next_child;
    std::uint32_t depth;
    double distance;
};

std::size_t level_count_for(std::size_t column_count) {
    return static_cast<std::size_t>(std::bit_width(column_count));
}

}  // namespace

TreeLca TreeLca::build(const Tree& tree, std::size_t taxon_count) {
    const std::size_t tour_length = 2 * tree.node_count();
    TreeLca index;
    index.taxon_positions_.assign(taxon_count, 0);
    index.euler_nodes_.assign(tour_length, 0);
    index.euler_depths_.assign(tour_length, 0);
    index.euler_distances_.assign(tour_length, 0.0);

    std::uint32_t position = 0;
    auto record_visit = [&](NodeId node, std::uint32_t depth, double distance) {
        index.euler_nodes_[position] = static_cast<std::uint32_t>(node.value);
        index.euler_depths_[position] = depth;
        index.euler_distances_[position] = distance;
        ++position;
    };
    auto arrive = [&](NodeId node, std::uint32_t depth, double distance) {
        if (const auto taxon = tree.taxon_of(node)) {
            index.taxon_positions_[checked_index(taxon->index(), taxon_count)] = position;
        }
        record_visit(node, depth, distance);
    };

    // An explicit stack: trees may be nested far deeper than the call stack allows.
    std::vector<PendingNode> stack;
    arrive(NodeId::root(), 0, 0.0);
    stack.push_back({NodeId::root(), tree.first_child(NodeId::root()), 0, 0.0});
    while (!stack.empty()) {
        PendingNode& top = stack.back();
        if (top.next_child.is_none()) {
            stack.pop_back();
            if (!stack.empty()) {
                const PendingNode& parent = stack.back();
                record_visit(parent.node, parent.depth, parent.distance);
            }
            continue;
        }
        const NodeId child = top.next_child;
        top.next_child = tree.next_sibling(child);
        const std::uint32_t depth = top.depth + 1;
        const double distance = top.distance + tree.branch_length(child);
        arrive(child, depth, distance);
        stack.push_back({child, tree.first_child(child), depth, distance});
    }

    const std::size_t columns = 2 * tree.unrooted_node_count();
    const std::size_t levels = level_count_for(columns);
    index.column_count_ = columns;
    index.level_count_ = levels;
    index.range_min_table_.assign(columns * levels, 0);
    std::uint32_t* table = index.range_min_table_.data();
    const std::uint32_t* depths = index.euler_depths_.data();
    for (std::size_t j = 0; j < columns; ++j) table[j * levels] = static_cast<std::uint32_t>(j);
    for (std::size_t k = 1; (std::size_t{1} << k) <= columns; ++k) {
        const std::size_t half = std::size_t{1} << (k - 1);
        const std::size_t last_column = columns - (std::size_t{1} << k);
        for (std::size_t j = 0; j <= last_column; ++j) {
            const std::uint32_t left = table[j * levels + k - 1];
            const std::uint32_t right = table[(j + half) * levels + k - 1];
            // On a tie the right window's position wins.
            table[j * levels + k] = depths[left] < depths[right] ? left : right;
        }
    }
    return index;
}

EulerPos TreeLca::lca_position(EulerPos a, EulerPos b) const {
    const std::size_t lo = std::min(a.index(), b.index());
    const std::size_t hi = checked_index(std::max(a.index(), b.index()), column_count_);
    const auto span_length = static_cast<std::uint32_t>(hi - lo + 1);
    const std::size_t k = static_cast<std::size_t>(31 - std::countl_zero(span_length));
    const std::uint32_t left = range_min_table_[lo * level_count_ + k];
    const std::uint32_t right =
        range_min_table_[(hi + 1 - (std::size_t{1} << k)) * level_count_ + k];
    // On a tie the left window's position wins.
    return EulerPos{euler_depths_[left] <= euler_depths_[right] ? left : right};
}

EulerPos TreeLca::range_min_entry(std::size_t level, std::size_t column) const {
    checked_index(level, level_count_);
    return EulerPos{range_min_table_[checked_index(column, column_count_) * level_count_ + level]};
}

std::size_t TreeLca::heap_bytes() const {
    return taxon_positions_.capacity() * sizeof(std::uint32_t) +
           euler_nodes_.capacity() * sizeof(std::uint32_t) +
           euler_distances_.capacity() * sizeof(double) +
           euler_depths_.capacity() * sizeof(std::uint32_t) +
           range_min_table_.capacity() * sizeof(std::uint32_t);
}

}  // namespace treetally
