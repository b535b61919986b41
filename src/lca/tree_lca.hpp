// Per-tree index for constant-time lowest-common-ancestor queries: an Euler tour with
// depths and root distances, a per-taxon position table, and a sparse range-minimum table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "lca/euler_pos.hpp"
#include "lca/packed_entries.hpp"
#include "lca/range_min_layout.hpp"
#include "tree/ids.hpp"
#include "tree/tree.hpp"

namespace treetally {

// The index's values live in two runs of bytes: the taxa's positions, and a block of the
// range-minimum table (see range_min_layout.hpp), the depths and the node ids along the tour,
// then one distance from the root per node, which a tree without branch lengths leaves out
// (every distance is 0.0). Positions, depths and node ids take 1, 2 or 4 bytes each, the
// fewest that hold the largest value a tree of its size can have. An index built alone (or
// copied) owns both runs, in one allocation; one built in place refers to memory that the set
// holding all indexes of a file keeps for as long as its indexes live. The positions come
// apart from the block so that a set can index each tree as soon as it is read, before the
// file's last taxon, and so the length of every per-taxon table, is known.
class TreeLca {
  public:
    // A labelled node's taxon and the position of its first visit, in the order of the walk.
    struct TaxonPlace {
        TaxonId taxon;
        EulerPos position;
    };

    // Memory the build of one tree uses for a moment besides the index itself, kept between
    // the builds of a set.
    class BuildScratch {
      public:
        // Bytes the scratch holds once it has built `tree` (or a larger tree).
        static std::size_t bytes_for(const Tree& tree);

      private:
        friend class TreeLca;
        // Grows to exactly what `tree` needs, freeing the smaller rows first, so that the
        // scratch never holds more than bytes_for(the largest tree built).
        void make_room_for(const Tree& tree);

        // A node whose children are being walked, with the next child still to visit.
        struct PendingNode {
            NodeId node;
            NodeId next_child;
        };
        std::vector<std::uint32_t> rows_;
        std::vector<PendingNode> pending_;
    };

    // Indexes `tree`, with one position slot for each of the collection's `taxon_count` taxa,
    // in memory of its own.
    static TreeLca build(const Tree& tree, std::size_t taxon_count);
    // Indexes `tree` but for its per-taxon table, in `place` (block_bytes_for(tree) bytes, which
    // must outlive the index and its moves; copies own their memory), and appends the tree's
    // labelled nodes to `labelled`; place_taxon_positions then completes the index.
    static TreeLca build_in(const Tree& tree, std::span<std::byte> place, BuildScratch& scratch,
                            std::vector<TaxonPlace>& labelled);
    // Writes the per-taxon table into `place` (positions_bytes_for(taxon_count) bytes, kept as
    // long as `place` of build_in): the position of each taxon of `labelled` (what build_in
    // appended for this tree; of two nodes with one taxon the later wins), 0 for the others.
    void place_taxon_positions(std::size_t taxon_count, std::span<std::byte> place,
                               std::span<const TaxonPlace> labelled);

    // Bytes of each part, multiples of 8: the block of build_in, the per-taxon table, and both
    // as build allocates them (the heap_bytes() of the index it returns).
    static std::size_t block_bytes_for(const Tree& tree);
    std::size_t positions_bytes_for(std::size_t taxon_count) const;
    static std::size_t bytes_for(const Tree& tree, std::size_t taxon_count);
    // Bytes that build(tree, ...) holds beside the index while it works: its BuildScratch and
    // the list of the tree's labelled nodes.
    static std::size_t build_scratch_bytes(const Tree& tree);

    TreeLca() = default;
    TreeLca(const TreeLca& other);
    TreeLca& operator=(const TreeLca& other);
    TreeLca(TreeLca&& other) noexcept;
    TreeLca& operator=(TreeLca&& other) noexcept;
    ~TreeLca();

    // Position of the taxon's leaf in this tree; absent (0) when the tree lacks it.
    EulerPos taxon_position(TaxonId taxon) const {
        return EulerPos{
            read_packed(positions_, checked_index(taxon.index(), taxon_count_), position_width_)};
    }
    // A position of the lowest common ancestor of the nodes at `a` and `b` (both below
    // column_count()); of two equally shallow visits of that node, the left one.
    EulerPos lca_position(EulerPos a, EulerPos b) const {
        checked_index(std::max(a.index(), b.index()), column_count_);
        return lca_position_in_range(a, b);
    }

    NodeId node_at(EulerPos p) const { return node_at_in_range(checked(p)); }
    std::uint32_t depth_at(EulerPos p) const { return depth_at_in_range(checked(p)); }
    double distance_at(EulerPos p) const { return distance_at_in_range(checked(p)); }

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
        const QueryWindows windows = windows_of(a, b);
        // Level 0 is not stored: its mask is 0, so the read (of any byte of the block) adds 0.
        const std::byte* row = block_ + range_min_row_start(windows.level, column_count_);
        const PackedWidth width{range_min_levels[windows.level].shift,
                                static_cast<std::uint8_t>(32 - windows.level)};
        const auto left =
            static_cast<std::uint32_t>(windows.left + read_packed(row, windows.left, width));
        const auto right =
            static_cast<std::uint32_t>(windows.right + read_packed(row, windows.right, width));
        return shallower(left, depth_at_in_range(EulerPos{left}), right,
                         depth_at_in_range(EulerPos{right}));
    }
    NodeId node_at_in_range(EulerPos p) const {
        return NodeId{
            static_cast<std::int32_t>(read_packed(block_ + nodes_offset_, p.index(), node_width_))};
    }
    std::uint32_t depth_at_in_range(EulerPos p) const {
        return read_packed(block_ + depths_offset_, p.index(), node_width_);
    }
    double distance_at_in_range(EulerPos p) const {
        if (!has_distances_) return 0.0;
        return distance_of_node(block_ + distances_offset_, node_at_in_range(p).index());
    }

    // The reads above for an index whose every entry takes one byte (a tree of at most 128
    // nodes, as most gene trees are): plain byte loads, without the shifts and masks of
    // several widths. A view; the index must outlive it.
    class ByteReads {
      public:
        explicit ByteReads(const TreeLca& index)
            : block_(index.block_),
              depths_offset_(index.depths_offset_),
              nodes_offset_(index.nodes_offset_),
              distances_offset_(index.distances_offset_),
              column_count_(index.column_count_),
              has_distances_(index.has_distances_) {}

        Visit lca_visit_in_range(EulerPos a, EulerPos b) const {
            const QueryWindows windows = windows_of(a, b);
            const std::byte* row = block_ + range_min_row_start(windows.level, column_count_);
            // Level 0 is not stored: it adds 0 to the column.
            const bool stored = windows.level != 0;
            const auto left = static_cast<std::uint32_t>(windows.left +
                                                         (stored ? byte_at(row, windows.left) : 0));
            const auto right = static_cast<std::uint32_t>(
                windows.right + (stored ? byte_at(row, windows.right) : 0));
            return shallower(left, depth_at_in_range(EulerPos{left}), right,
                             depth_at_in_range(EulerPos{right}));
        }
        NodeId node_at_in_range(EulerPos p) const {
            return NodeId{static_cast<std::int32_t>(byte_at(block_ + nodes_offset_, p.index()))};
        }
        std::uint32_t depth_at_in_range(EulerPos p) const {
            return byte_at(block_ + depths_offset_, p.index());
        }
        double distance_at_in_range(EulerPos p) const {
            if (!has_distances_) return 0.0;
            return distance_of_node(block_ + distances_offset_,
                                    byte_at(block_ + nodes_offset_, p.index()));
        }

      private:
        static std::uint32_t byte_at(const std::byte* array, std::size_t i) {
            return std::to_integer<std::uint32_t>(array[i]);
        }

        const std::byte* block_;
        std::size_t depths_offset_;
        std::size_t nodes_offset_;
        std::size_t distances_offset_;
        std::size_t column_count_;
        bool has_distances_;
    };

    // Calls `query` with the cheapest reads that serve this index (ByteReads, or the index
    // itself) and returns what it returns: a query written once runs on either.
    template <typename Query>
    decltype(auto) with_fastest_reads(Query&& query) const {
        if (one_byte_entries_) return query(ByteReads(*this));
        return query(*this);
    }

    // Asks the processor to start fetching what a query for `taxa` reads first: for a small
    // tree everything but the distances (with them when `with_distances`), for a large one the
    // taxa's entries of the per-taxon table. A sweep calls it a few trees ahead so that memory
    // latency overlaps with work.
    void prefetch_for_query(std::span<const TaxonId> taxa, bool with_distances = false) const;

    std::size_t taxon_count() const { return taxon_count_; }
    std::size_t tour_length() const { return tour_length_; }
    std::size_t column_count() const { return column_count_; }
    std::size_t level_count() const { return level_count_; }
    // Bytes of each position, and of each node id and depth.
    std::size_t position_bytes() const { return position_width_.entry_bytes(); }
    std::size_t node_bytes() const { return node_width_.entry_bytes(); }
    // False when every distance is 0.0 and none is stored.
    bool stores_distances() const { return has_distances_; }

    // The values as the data model states them, for tests and digests.
    std::vector<std::uint32_t> taxon_positions() const;
    std::vector<std::uint32_t> euler_nodes() const;
    std::vector<double> euler_distances() const;
    std::vector<std::uint32_t> euler_depths() const;
    // Level `level`, column `column` of the range-minimum table; 0 for the columns a level does
    // not use (those whose window runs past the last column), which no query reads.
    EulerPos range_min_entry(std::size_t level, std::size_t column) const;

    // Bytes of the index's memory, and of its parts, for memory accounting.
    std::size_t heap_bytes() const { return positions_bytes() + block_bytes(); }
    struct PartBytes {
        std::size_t taxon_positions;
        std::size_t table;
        std::size_t tour;  // depths and node ids
        std::size_t distances;
    };
    PartBytes part_bytes() const;

  private:
    // The two windows of the range-minimum table whose union is the stretch of the tour from
    // `a` to `b`: 2^level positions from column `left`, and as many ending at the far end.
    struct QueryWindows {
        std::size_t level;
        std::size_t left;
        std::size_t right;
    };
    static QueryWindows windows_of(EulerPos a, EulerPos b) {
        const std::size_t lo = std::min(a.index(), b.index());
        const std::size_t hi = std::max(a.index(), b.index());
        // Positions are 32-bit, so the full-width span never wraps to 0 (which would make the
        // level 2^64-1); saying so costs nothing and lets the analyzer see it.
        const std::size_t span = hi - lo + 1;
        if (span == 0) __builtin_unreachable();
        const auto level = static_cast<std::size_t>(std::bit_width(span) - 1);
        return {level, lo, hi + 1 - (std::size_t{1} << level)};
    }
    // Of the windows' two minima, the shallower; on a tie the left window's.
    static Visit shallower(std::uint32_t left, std::uint32_t left_depth, std::uint32_t right,
                           std::uint32_t right_depth) {
        return left_depth <= right_depth ? Visit{EulerPos{left}, left_depth}
                                         : Visit{EulerPos{right}, right_depth};
    }
    static double distance_of_node(const std::byte* distances, std::size_t node) {
        double distance;
        std::memcpy(&distance, distances + node * sizeof(double), sizeof distance);
        return distance;
    }

    EulerPos checked(EulerPos p) const {
        checked_index(p.index(), tour_length_);
        return p;
    }

    // Sizes, widths and offsets of an index, all known from the tree before its walk.
    struct Layout;
    static Layout layout_for(const Tree& tree);
    void adopt(const Layout& layout, std::byte* block);
    void fill(const Tree& tree, BuildScratch& scratch, std::vector<TaxonPlace>& labelled);
    void write_taxon_positions(std::size_t taxon_count, std::byte* place,
                               std::span<const TaxonPlace> labelled);
    std::size_t positions_bytes() const;
    std::size_t block_bytes() const;

    void release();
    // Every field but the memory and its ownership.
    void copy_shape_from(const TreeLca& other);

    // 64 bytes: a set of many small trees holds one per tree.
    std::byte* block_ = nullptr;      // the range-minimum table first
    std::byte* positions_ = nullptr;  // when owned, the allocation begins here, before block_
    std::size_t depths_offset_ = 0;
    std::size_t nodes_offset_ = 0;
    std::size_t distances_offset_ = 0;
    std::uint32_t taxon_count_ = 0;
    std::uint32_t tour_length_ = 0;
    std::uint32_t column_count_ = 0;
    PackedWidth position_width_;
    PackedWidth node_width_;  // of node ids and depths, both below the node count
    std::uint8_t level_count_ = 0;
    bool has_distances_ = false;
    bool one_byte_entries_ = false;  // positions, node ids, depths and table entries
    bool owns_memory_ = false;       // built alone or copied; otherwise its set holds it
};

}  // namespace treetally
