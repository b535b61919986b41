#include "lca/tree_lca.hpp"

#include <bit>
#include <cstring>
#include <utility>
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

// The array lengths of the index of one tree: two tour entries per node (the last one spare),
// table columns for the visits a query can start from, and levels enough to span them all.
struct IndexSizes {
    std::size_t tour_length;
    std::size_t column_count;
    std::size_t level_count;
};

IndexSizes index_sizes(const Tree& tree) {
    const std::size_t columns = 2 * tree.unrooted_node_count();
    return {2 * tree.node_count(), columns, static_cast<std::size_t>(std::bit_width(columns))};
}

constexpr std::size_t word_bytes = sizeof(std::uint64_t);

// 32-bit entries rounded up to whole 8-byte words.
std::size_t words_for(std::size_t entries) {
    return (entries + 1) / 2;
}

// Where each array starts in the one block of an index, in 8-byte words, and the block's size.
// The taxon positions start at word 0.
struct BlockLayout {
    std::size_t table;
    std::size_t depths;
    std::size_t nodes;
    std::size_t distances;
    std::size_t words;
};

BlockLayout block_layout(std::size_t taxon_count, std::size_t tour_length, std::size_t column_count,
                         std::size_t level_count) {
    BlockLayout layout{};
    layout.table = words_for(taxon_count);
    layout.depths = layout.table + words_for(column_count * level_count);
    layout.nodes = layout.depths + words_for(tour_length);
    layout.distances = layout.nodes + words_for(tour_length);
    layout.words = layout.distances + tour_length;
    return layout;
}

// The level-major rows fill_range_min_table works in: one per level, and two of depths.
using ScratchRows = std::unique_ptr<std::uint32_t[]>;

std::size_t scratch_entries(std::size_t columns, std::size_t levels) {
    return levels * columns + 2 * columns;
}

// Fills the column-major sparse table of `levels` x `columns` positions of minimal depth.
// The levels are first computed one after the other into level-major scratch rows, where each
// step reads two runs of the row below and writes one run, with the depth of every entry kept
// beside it: straight loops of compares and selects that the compiler turns into vector code.
// The rows are then copied into the columns, a few columns at a time so that every row is read
// in runs.
void fill_range_min_table(const std::uint32_t* depths, std::size_t columns, std::size_t levels,
                          std::uint32_t* table) {
    const ScratchRows rows(new ScratchRows::element_type[scratch_entries(columns, levels)]);
    std::uint32_t* const positions = rows.get();
    std::uint32_t* below_depths = positions + levels * columns;
    std::uint32_t* level_depths = below_depths + columns;
    for (std::size_t j = 0; j < columns; ++j) {
        positions[j] = static_cast<std::uint32_t>(j);
        below_depths[j] = depths[j];
    }
    for (std::size_t k = 1; k < levels; ++k) {
        const std::size_t half = std::size_t{1} << (k - 1);
        // Columns j with j + 2^k <= columns; the windows of the others run past the last
        // column, are never read, and hold 0.
        const std::size_t count = columns - (std::size_t{1} << k) + 1;
        const std::uint32_t* __restrict below = positions + (k - 1) * columns;
        std::uint32_t* __restrict level = positions + k * columns;
        const std::uint32_t* __restrict left_depths = below_depths;
        std::uint32_t* __restrict out_depths = level_depths;
        for (std::size_t j = 0; j < count; ++j) {
            const std::uint32_t left = below[j];
            const std::uint32_t right = below[j + half];
            const std::uint32_t left_depth = left_depths[j];
            const std::uint32_t right_depth = left_depths[j + half];
            // On a tie the right window's position wins.
            const bool right_wins = !(left_depth < right_depth);
            level[j] = right_wins ? right : left;
            out_depths[j] = right_wins ? right_depth : left_depth;
        }
        std::fill(level + count, level + columns, 0u);
        std::swap(below_depths, level_depths);
    }
    constexpr std::size_t block = 8;
    std::size_t first = 0;
    for (; first + block <= columns; first += block) {
        for (std::size_t k = 0; k < levels; ++k) {
            const std::uint32_t* row = positions + k * columns + first;
            std::uint32_t* out = table + first * levels + k;
            for (std::size_t i = 0; i < block; ++i) out[i * levels] = row[i];
        }
    }
    for (; first < columns; ++first) {
        for (std::size_t k = 0; k < levels; ++k)
            table[first * levels + k] = positions[k * columns + first];
    }
}

}  // namespace

std::size_t TreeLca::bytes_for(const Tree& tree, std::size_t taxon_count) {
    const IndexSizes sizes = index_sizes(tree);
    const BlockLayout layout =
        block_layout(taxon_count, sizes.tour_length, sizes.column_count, sizes.level_count);
    return layout.words * word_bytes;
}

std::size_t TreeLca::build_scratch_bytes(const Tree& tree) {
    const IndexSizes sizes = index_sizes(tree);
    return scratch_entries(sizes.column_count, sizes.level_count) *
           sizeof(ScratchRows::element_type);
}

void TreeLca::allocate(std::size_t taxon_count, std::size_t tour_length, std::size_t column_count,
                       std::size_t level_count) {
    const BlockLayout layout = block_layout(taxon_count, tour_length, column_count, level_count);
    // Left uninitialised: build writes every entry, so zero-filling first would touch it twice.
    // Allocated before anything changes, so a failed allocation leaves the index as it was.
    std::unique_ptr<std::byte[]> block(new std::byte[layout.words * word_bytes]);
    storage_ = std::move(block);
    storage_words_ = layout.words;
    std::byte* const start = storage_.get();
    taxon_positions_ = reinterpret_cast<std::uint32_t*>(start);
    range_min_table_ = reinterpret_cast<std::uint32_t*>(start + layout.table * word_bytes);
    euler_depths_ = reinterpret_cast<std::uint32_t*>(start + layout.depths * word_bytes);
    euler_nodes_ = reinterpret_cast<std::uint32_t*>(start + layout.nodes * word_bytes);
    euler_distances_ = reinterpret_cast<double*>(start + layout.distances * word_bytes);
    taxon_count_ = taxon_count;
    tour_length_ = tour_length;
    column_count_ = column_count;
    level_count_ = level_count;
}

TreeLca TreeLca::build(const Tree& tree, std::size_t taxon_count) {
    const IndexSizes sizes = index_sizes(tree);
    TreeLca index;
    index.allocate(taxon_count, sizes.tour_length, sizes.column_count, sizes.level_count);
    std::fill_n(index.taxon_positions_, taxon_count, 0u);
    // The walk frees its stack before the table's scratch rows are taken, so that the build
    // never holds more than the block and build_scratch_bytes.
    index.record_euler_tour(tree);
    fill_range_min_table(index.euler_depths_, sizes.column_count, sizes.level_count,
                         index.range_min_table_);
    return index;
}

void TreeLca::record_euler_tour(const Tree& tree) {
    std::uint32_t position = 0;
    auto record_visit = [&](NodeId node, std::uint32_t depth, double distance) {
        euler_nodes_[position] = static_cast<std::uint32_t>(node.value);
        euler_depths_[position] = depth;
        euler_distances_[position] = distance;
        ++position;
    };
    auto arrive = [&](NodeId node, std::uint32_t depth, double distance) {
        if (const auto taxon = tree.taxon_of(node)) {
            taxon_positions_[checked_index(taxon->index(), taxon_count_)] = position;
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
    // The spare entry, and any entries of nodes the walk cannot reach (a "," at the root links
    // its node only as the root's sibling), read like visits of the root.
    std::fill(euler_nodes_ + position, euler_nodes_ + tour_length_, 0u);
    std::fill(euler_depths_ + position, euler_depths_ + tour_length_, 0u);
    std::fill(euler_distances_ + position, euler_distances_ + tour_length_, 0.0);
}

TreeLca::TreeLca(const TreeLca& other) {
    *this = other;
}

TreeLca& TreeLca::operator=(const TreeLca& other) {
    if (this == &other) return *this;
    if (!other.storage_) return *this = TreeLca();
    allocate(other.taxon_count_, other.tour_length_, other.column_count_, other.level_count_);
    std::memcpy(storage_.get(), other.storage_.get(), storage_words_ * word_bytes);
    return *this;
}

TreeLca::TreeLca(TreeLca&& other) noexcept {
    *this = std::move(other);
}

TreeLca& TreeLca::operator=(TreeLca&& other) noexcept {
    if (this == &other) return *this;
    storage_ = std::move(other.storage_);
    storage_words_ = std::exchange(other.storage_words_, 0);
    taxon_positions_ = std::exchange(other.taxon_positions_, nullptr);
    range_min_table_ = std::exchange(other.range_min_table_, nullptr);
    euler_depths_ = std::exchange(other.euler_depths_, nullptr);
    euler_nodes_ = std::exchange(other.euler_nodes_, nullptr);
    euler_distances_ = std::exchange(other.euler_distances_, nullptr);
    taxon_count_ = std::exchange(other.taxon_count_, 0);
    tour_length_ = std::exchange(other.tour_length_, 0);
    column_count_ = std::exchange(other.column_count_, 0);
    level_count_ = std::exchange(other.level_count_, 0);
    return *this;
}

void TreeLca::prefetch_for_query(std::span<const TaxonId> taxa, bool with_distances) const {
    constexpr std::size_t line = 64;
    constexpr std::size_t whole_index_limit = 4096;
    // Into the second-level cache (prefetcht2): it has room for many more outstanding misses
    // than the first level, where a run of prefetches a few trees ahead would wait for a slot.
    constexpr int locality = 1;
    const auto* start = reinterpret_cast<const char*>(storage_.get());
    const auto* distances = reinterpret_cast<const char*>(euler_distances_);
    const auto query_bytes = static_cast<std::size_t>(distances - start) +
                             (with_distances ? tour_length_ * sizeof(double) : 0);
    if (query_bytes <= whole_index_limit) {
        for (std::size_t offset = 0; offset < query_bytes; offset += line)
            __builtin_prefetch(start + offset, 0, locality);
        return;
    }
    for (const TaxonId taxon : taxa) {
        if (taxon.index() < taxon_count_)
            __builtin_prefetch(taxon_positions_ + taxon.index(), 0, locality);
    }
}

EulerPos TreeLca::range_min_entry(std::size_t level, std::size_t column) const {
    checked_index(level, level_count_);
    return EulerPos{range_min_table_[checked_index(column, column_count_) * level_count_ + level]};
}

std::size_t TreeLca::heap_bytes() const {
    return storage_words_ * word_bytes;
}

}  // namespace treetally
