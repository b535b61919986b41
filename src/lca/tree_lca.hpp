// Per-tree index for constant-time lowest-common-ancestor queries: an Euler tour with
// depths and root distances, a per-taxon position table, and a sparse range-minimum table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "lca/euler_pos.hpp"
#include "tree/ids.hpp"
#include "tree/tree.hpp"

namespace treetally {

class TreeLca {
  public:
    // Indexes `tree`, with one position slot for each of the collection's `taxon_count` taxa.
    static TreeLca build(const Tree& tree, std::size_t taxon_count);

    TreeLca() = default;
    TreeLca(const TreeLca& other);
    TreeLca& operator=(const TreeLca& other);
    TreeLca(TreeLca&& other) noexcept;
    TreeLca& operator=(TreeLca&& other) noexcept;
    ~TreeLca() = default;

    // Position of the taxon's leaf in this tree; absent (0) when the tree lacks it.
    EulerPos taxon_position(TaxonId taxon) const {
        return EulerPos{taxon_positions_[checked_index(taxon.index(), taxon_count_)]};
    }
    // A position of the lowest common ancestor of the nodes at `a` and `b` (both below
    // column_count()); of two equally shallow visits of that node, the left one.
    EulerPos lca_position(EulerPos a, EulerPos b) const {
        checked_index(std::max(a.index(), b.index()), column_count_);
        return lca_position_in_range(a, b);
    }

    NodeId node_at(EulerPos p) const {
        return NodeId{static_cast<std::int32_t>(euler_nodes_[at(p)])};
    }
    std::uint32_t depth_at(EulerPos p) const { return euler_depths_[at(p)]; }
    double distance_at(EulerPos p) const { return euler_distances_[at(p)]; }

    // The same reads without their own bounds test, for query loops that have tested every
    // position they start from once (see `positions_in_range`): every LCA of positions below
    // column_count() is itself below column_count(), which is at most tour_length().
    bool positions_in_range(std::span<const EulerPos> positions) const {
        for (const EulerPos p : positions) {
            if (p.index() >= column_count_) return false;
        }
        return true;
    }
    EulerPos lca_position_in_range(EulerPos a, EulerPos b) const {
        return lca_visit_in_range(a, b).position;
    }
    // The LCA's position together with its depth, which the lookup has read anyway.
    struct Visit {
        EulerPos position;
        std::uint32_t depth;
    };
    Visit lca_visit_in_range(EulerPos a, EulerPos b) const {
        const std::size_t lo = std::min(a.index(), b.index());
        const std::size_t hi = std::max(a.index(), b.index());
        // Positions are 32-bit, so the full-width span never wraps to 0 (which would make k
        // 2^64-1); saying so costs nothing and lets the analyzer see it.
        const std::size_t span = hi - lo + 1;
        if (span == 0) __builtin_unreachable();
        const auto k = static_cast<std::size_t>(std::bit_width(span) - 1);
        const std::uint32_t left = range_min_table_[lo * level_count_ + k];
        const std::uint32_t right =
            range_min_table_[(hi + 1 - (std::size_t{1} << k)) * level_count_ + k];
        const std::uint32_t left_depth = euler_depths_[left];
        const std::uint32_t right_depth = euler_depths_[right];
        // On a tie the left window's position wins.
        return left_depth <= right_depth ? Visit{EulerPos{left}, left_depth}
                                         : Visit{EulerPos{right}, right_depth};
    }
    NodeId node_at_in_range(EulerPos p) const {
        return NodeId{static_cast<std::int32_t>(euler_nodes_[p.index()])};
    }
    std::uint32_t depth_at_in_range(EulerPos p) const { return euler_depths_[p.index()]; }
    double distance_at_in_range(EulerPos p) const { return euler_distances_[p.index()]; }

    // Asks the processor to start fetching what a query for `taxa` reads first: for a small
    // tree everything but the distances (with them when `with_distances`), for a large one the
    // taxa's entries of the per-taxon table. A sweep calls it a few trees ahead so that memory
    // latency overlaps with work.
    void prefetch_for_query(std::span<const TaxonId> taxa, bool with_distances = false) const;

    std::size_t taxon_count() const { return taxon_count_; }
    std::size_t tour_length() const { return tour_length_; }
    std::size_t column_count() const { return column_count_; }
    std::size_t level_count() const { return level_count_; }

    // The raw arrays, for tests and memory accounting.
    std::span<const std::uint32_t> taxon_positions() const {
        return {taxon_positions_, taxon_count_};
    }
    std::span<const std::uint32_t> euler_nodes() const { return {euler_nodes_, tour_length_}; }
    std::span<const double> euler_distances() const { return {euler_distances_, tour_length_}; }
    std::span<const std::uint32_t> euler_depths() const { return {euler_depths_, tour_length_}; }
    EulerPos range_min_entry(std::size_t level, std::size_t column) const;

    // Bytes held by all arrays of the index.
    std::size_t heap_bytes() const;

    // The heap_bytes() that build(tree, taxon_count) gives, without building.
    static std::size_t bytes_for(const Tree& tree, std::size_t taxon_count);
    // Bytes that build(tree, ...) holds beside the index while it fills the range-minimum
    // table: scratch rows as large as the table, and two rows of depths. The walk before
    // needs less, and frees it first.
    static std::size_t build_scratch_bytes(const Tree& tree);

  private:
    std::size_t at(EulerPos p) const { return checked_index(p.index(), tour_length_); }

    // Allocates the one block for the given sizes and points the arrays into it.
    void allocate(std::size_t taxon_count, std::size_t tour_length, std::size_t column_count,
                  std::size_t level_count);
    // Walks `tree` from the root, recording every visit and each taxon's position.
    void record_euler_tour(const Tree& tree);

    // All arrays live in one block, in the order a query reads them: taxon positions, the
    // range-minimum table, depths, nodes, then the distances (8-byte aligned).
    // Bytes, in which the uint32_t and double arrays are created implicitly; words of another
    // type read through those pointers would break the aliasing rules.
    std::unique_ptr<std::byte[]> storage_;
    std::size_t storage_words_ = 0;
    std::uint32_t* taxon_positions_ = nullptr;
    // Column-major: the level_count_ entries of one column are adjacent.
    std::uint32_t* range_min_table_ = nullptr;
    std::uint32_t* euler_depths_ = nullptr;
    std::uint32_t* euler_nodes_ = nullptr;
    double* euler_distances_ = nullptr;
    std::size_t taxon_count_ = 0;
    std::size_t tour_length_ = 0;
    std::size_t column_count_ = 0;
    std::size_t level_count_ = 0;
};

}  // namespace treetally
