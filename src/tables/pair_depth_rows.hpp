// For every pair of a table's taxa, one row over the trees of a set: the depth of the pair's
// lowest common ancestor in each tree, or the sentinel (the largest value of the row's type)
// where the tree lacks either taxon. Rows run over a multiple of 64 trees, the tail filled with
// the sentinel, so that the counting kernels read whole vectors without a remainder loop.
//
// The rows of pair (i, j), i < j, are kept by group: group i holds the rows (i, i+1) .. (i,
// n-1), one after another. A group is built the first time something asks for it, so a table
// over many taxa starts counting at once, and its rows are then read by any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "sets/tree_set_data.hpp"
#include "tree/ids.hpp"

namespace treetally {

// What the rows of a list of taxa over a set take: found by one pass over the taxa's places in
// every tree, without allocating.
struct PairDepthShape {
    std::size_t taxa = 0;
    std::size_t trees = 0;
    std::size_t padded_trees = 0;  // trees rounded up to a multiple of 64
    // Bytes of one depth: 1 while every tree's deepest leaf among the taxa lies above depth
    // 255, then 2 below 65535, else 4; the largest value of the type is the sentinel.
    std::size_t depth_bytes = 1;
    std::size_t held = 0;       // (tree, taxon) places where the tree holds the taxon
    std::size_t most_held = 0;  // of the taxa, the most that one tree holds

    std::size_t row_bytes() const { return padded_trees * depth_bytes; }
    std::size_t pair_count() const { return taxa < 2 ? 0 : taxa * (taxa - 1) / 2; }
};

// Trees are padded to a multiple of this many.
inline constexpr std::size_t pair_depth_lane_block = 64;

constexpr std::size_t padded_tree_count(std::size_t trees) {
    return (trees + pair_depth_lane_block - 1) / pair_depth_lane_block * pair_depth_lane_block;
}

class PairDepthRows {
  public:
    static PairDepthShape shape_of(const TreeSetData& data, std::span<const TaxonId> taxa);
    // A shape at least as large as that of any `taxon_count` of the set's taxa, from the trees'
    // sizes alone (a tree of m nodes is less than m deep and holds at most m taxa).
    static PairDepthShape shape_bound(const TreeSetData& data, std::size_t taxon_count);
    // Bytes held once every group is built: the rows, the per-tree lists of held taxa and the
    // groups' bookkeeping. Saturates.
    static std::size_t bytes_for(const PairDepthShape& shape);

    // Keeps `data` (which must outlive the rows) and each tree's list of held taxa; builds no
    // row. `shape` must be shape_of(data, taxa).
    PairDepthRows(const TreeSetData& data, std::span<const TaxonId> taxa,
                  const PairDepthShape& shape);
    PairDepthRows(const PairDepthRows&) = delete;
    PairDepthRows& operator=(const PairDepthRows&) = delete;
    ~PairDepthRows();

    const PairDepthShape& shape() const { return shape_; }

    // Builds group `i` unless it is built; thread-safe. A raise from `interrupt` leaves the
    // group unbuilt (a later call builds it afresh).
    void build_group(std::size_t i, const InterruptCheck& interrupt = {}) const;
    bool group_built(std::size_t i) const;
    // The row of the pair (i, j), i < j, whose group is built; row (i, j + 1) follows it
    // row_bytes() later.
    const std::byte* row(std::size_t i, std::size_t j) const;

    // Bytes held now: the lists, the bookkeeping and the groups built so far.
    std::size_t bytes_held() const { return bytes_held_.load(std::memory_order_relaxed); }

  private:
    struct Group;
    struct AlignedFree {
        void operator()(std::byte* bytes) const;
    };
    using Rows = std::unique_ptr<std::byte[], AlignedFree>;

    void fill_group(std::size_t i, std::byte* rows, const InterruptCheck& interrupt) const;
    std::size_t group_bytes(std::size_t i) const;

    const TreeSetData* data_;
    PairDepthShape shape_;
    // Tree t holds the taxa held_taxa_[held_start_[t] .. held_start_[t + 1]) (indexes into the
    // table's taxa, ascending), at the positions of the same entries of held_positions_.
    std::vector<std::size_t> held_start_;
    std::vector<std::uint32_t> held_taxa_;
    std::vector<EulerPos> held_positions_;
    std::unique_ptr<Group[]> groups_;
    mutable std::atomic<std::size_t> bytes_held_{0};
};

}  // namespace treetally
