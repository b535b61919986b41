// Per-tree index for constant-time lowest-common-ancestor queries: an Euler tour with
// depths and root distances, a per-taxon position table, and a sparse range-minimum table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lca/euler_pos.hpp"
#include "tree/ids.hpp"
#include "tree/tree.hpp"

namespace treetally {

class TreeLca {
  public:
    // Indexes `tree`, with one position slot for each of the collection's `taxon_count` taxa.
    static TreeLca build(const Tree& tree, std::size_t taxon_count);

    // Position of the taxon's leaf in this tree; absent (0) when the tree lacks it.
    EulerPos taxon_position(TaxonId taxon) const {
        return EulerPos{taxon_positions_[checked_index(taxon.index(), taxon_positions_.size())]};
    }
    // A position of the lowest common ancestor of the nodes at `a` and `b` (both below
    // column_count()); of two equally shallow visits of that node, the left one.
    EulerPos lca_position(EulerPos a, EulerPos b) const;

    NodeId node_at(EulerPos p) const {
        return NodeId{static_cast<std::int32_t>(euler_nodes_[at(p)])};
    }
    std::uint32_t depth_at(EulerPos p) const { return euler_depths_[at(p)]; }
    double distance_at(EulerPos p) const { return euler_distances_[at(p)]; }

    std::size_t taxon_count() const { return taxon_positions_.size(); }
    std::size_t tour_length() const { return euler_nodes_.size(); }
    std::size_t column_count() const { return column_count_; }
    std::size_t level_count() const { return level_count_; }

    // The raw arrays, for tests and memory accounting.
    std::span<const std::uint32_t> taxon_positions() const { return taxon_positions_; }
    std::span<const std::uint32_t> euler_nodes() const { return euler_nodes_; }
    std::span<const double> euler_distances() const { return euler_distances_; }
    std::span<const std::uint32_t> euler_depths() const { return euler_depths_; }
    // Level `level`, column `column` of the range-minimum table.
    EulerPos range_min_entry(std::size_t level, std::size_t column) const;

    // Bytes held by all arrays of the index.
    std::size_t heap_bytes() const;

  private:
    std::size_t at(EulerPos p) const { return checked_index(p.index(), euler_nodes_.size()); }

    std::vector<std::uint32_t> taxon_positions_;
    std::vector<std::uint32_t> euler_nodes_;
    std::vector<double> euler_distances_;
    std::vector<std::uint32_t> euler_depths_;
    // Column-major: the level_count_ entries of one column are adjacent.
    std::vector<std::uint32_t> range_min_table_;
    std::size_t column_count_ = 0;
    std::size_t level_count_ = 0;
};

}  // namespace treetally
