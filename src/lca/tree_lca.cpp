#include "lca/tree_lca.hpp"

#include <limits>
#include <utility>

namespace treetally {

// A set of many small trees holds one index object per tree.
static_assert(sizeof(TreeLca) <= 64, "an index object fits one cache line");

struct TreeLca::Layout {
    std::size_t tour_length = 0;
    std::size_t column_count = 0;
    std::size_t level_count = 0;
    PackedWidth position_width;
    PackedWidth node_width;
    bool has_distances = false;
    std::size_t depths_offset = 0;  // the table starts the block
    std::size_t nodes_offset = 0;
    std::size_t nodes_end = 0;
    std::size_t distances_offset = 0;
    std::size_t block_bytes = 0;
};

namespace {

constexpr std::size_t round_up_to_8(std::size_t bytes) {
    return (bytes + 7) & ~std::size_t{7};
}

// A per-taxon table with the bytes that a read of its last entry takes in.
std::size_t positions_bytes_of(std::size_t taxon_count, PackedWidth width) {
    return round_up_to_8(width.bytes_for(taxon_count) + packed_read_slack);
}

// Whether any distance from the root differs from 0.0: exactly when some node below the root
// has a branch length other than zero (the shallowest such node's distance is that length).
bool has_branch_lengths(const Tree& tree) {
    const std::span<const double> lengths = tree.branch_lengths();
    for (std::size_t node = 1; node < lengths.size(); ++node) {
        if (lengths[node] != 0.0) return true;
    }
    return false;
}

// Stores the distance of each of `positions` from its own column: the entries of one row.
template <typename Entry>
void write_row_as(const std::uint32_t* positions, std::size_t count, std::byte* row) {
    for (std::size_t j = 0; j < count; ++j) {
        const auto entry = static_cast<Entry>(positions[j] - j);
        std::memcpy(row + j * sizeof(Entry), &entry, sizeof(Entry));
    }
}

void write_row(const std::uint32_t* positions, std::size_t count, std::byte* row,
               std::uint8_t shift) {
    switch (shift) {
        case 0:
            write_row_as<std::uint8_t>(positions, count, row);
            break;
        case 1:
            write_row_as<std::uint16_t>(positions, count, row);
            break;
        default:
            write_row_as<std::uint32_t>(positions, count, row);
    }
}

// Level k from level k - 1 (`below`, with the depth of each entry): entry j is the shallower
// of entries j and j + half. A straight loop of compares and selects, which the compiler turns
// into vector code.
void next_level(const std::uint32_t* __restrict below, const std::uint32_t* __restrict below_depths,
                std::size_t half, std::size_t count, std::uint32_t* __restrict level,
                std::uint32_t* __restrict level_depths) {
    for (std::size_t j = 0; j < count; ++j) {
        // Depths are below 2^31 (a tree has fewer nodes), so they compare alike as signed
        // values, which the vector compares of this instruction set need; the select is written
        // as masks, which the compiler keeps free of branches.
        const auto left_depth = static_cast<std::int32_t>(below_depths[j]);
        const auto right_depth = static_cast<std::int32_t>(below_depths[j + half]);
        // On a tie the right window's position wins.
        const std::uint32_t right_wins = 0u - static_cast<std::uint32_t>(right_depth <= left_depth);
        level[j] = (below[j + half] & right_wins) | (below[j] & ~right_wins);
        level_depths[j] = (below_depths[j + half] & right_wins) | (below_depths[j] & ~right_wins);
    }
}

// Fills the rows of the sparse table of positions of minimal depth over `columns` columns:
// each level is computed from the one below, with the depth of every entry kept beside it, and
// then written as its row. `depths` (one per column) is overwritten; `scratch` holds 3 x columns.
void fill_range_min_rows(std::uint32_t* depths, std::size_t columns, std::size_t levels,
                         std::uint32_t* scratch, std::byte* table) {
    std::uint32_t* below = scratch;
    std::uint32_t* level = scratch + columns;
    std::uint32_t* below_depths = depths;
    std::uint32_t* level_depths = scratch + 2 * columns;
    for (std::size_t j = 0; j < columns; ++j) below[j] = static_cast<std::uint32_t>(j);
    for (std::size_t k = 1; k < levels; ++k) {
        const std::size_t half = std::size_t{1} << (k - 1);
        // Columns j with j + 2^k <= columns; the windows of the others run past the last
        // column and are never read.
        const std::size_t count = columns - (std::size_t{1} << k) + 1;
        next_level(below, below_depths, half, count, level, level_depths);
        write_row(level, count, table + range_min_row_start(k, columns), range_min_levels[k].shift);
        std::swap(below, level);
        std::swap(below_depths, level_depths);
    }
}

}  // namespace

TreeLca::Layout TreeLca::layout_for(const Tree& tree) {
    Layout layout;
    layout.tour_length = 2 * tree.node_count();
    layout.column_count = 2 * tree.unrooted_node_count();
    layout.level_count = static_cast<std::size_t>(std::bit_width(layout.column_count));
    layout.position_width = PackedWidth::holding(layout.tour_length - 1);
    layout.node_width = PackedWidth::holding(tree.node_count() - 1);
    layout.has_distances = has_branch_lengths(tree);
    layout.depths_offset = range_min_row_start(layout.level_count, layout.column_count);
    layout.nodes_offset = layout.depths_offset + layout.node_width.bytes_for(layout.tour_length);
    layout.nodes_end = layout.nodes_offset + layout.node_width.bytes_for(layout.tour_length);
    layout.distances_offset = round_up_to_8(layout.nodes_end);
    layout.block_bytes = layout.has_distances
                             ? layout.distances_offset + tree.node_count() * sizeof(double)
                             : round_up_to_8(layout.nodes_end + packed_read_slack);
    return layout;
}

std::size_t TreeLca::block_bytes_for(const Tree& tree) {
    return layout_for(tree).block_bytes;
}

std::size_t TreeLca::positions_bytes_for(std::size_t taxon_count) const {
    return positions_bytes_of(taxon_count, position_width_);
}

std::size_t TreeLca::bytes_for(const Tree& tree, std::size_t taxon_count) {
    const Layout layout = layout_for(tree);
    return positions_bytes_of(taxon_count, layout.position_width) + layout.block_bytes;
}

namespace {

// The rows of build scratch: node ids and depths along the tour, and three rows of table
// columns for the levels of the range-minimum table.
std::size_t scratch_rows(const Tree& tree) {
    return 2 * (2 * tree.node_count()) + 3 * (2 * tree.unrooted_node_count());
}

}  // namespace

std::size_t TreeLca::BuildScratch::bytes_for(const Tree& tree) {
    // The walk's stack holds at most every node.
    return scratch_rows(tree) * sizeof(std::uint32_t) + tree.node_count() * sizeof(PendingNode);
}

void TreeLca::BuildScratch::make_room_for(const Tree& tree) {
    const std::size_t rows = scratch_rows(tree);
    if (rows_.size() < rows) {
        std::vector<std::uint32_t>().swap(rows_);
        rows_.resize(rows);
    }
    if (pending_.size() < tree.node_count()) {
        std::vector<PendingNode>().swap(pending_);
        pending_.resize(tree.node_count());
    }
}

std::size_t TreeLca::build_scratch_bytes(const Tree& tree) {
    // At most every node has a taxon.
    return BuildScratch::bytes_for(tree) + tree.node_count() * sizeof(TaxonPlace);
}

void TreeLca::adopt(const Layout& layout, std::byte* block) {
    block_ = block;
    depths_offset_ = layout.depths_offset;
    nodes_offset_ = layout.nodes_offset;
    distances_offset_ = layout.distances_offset;
    tour_length_ = static_cast<std::uint32_t>(layout.tour_length);
    column_count_ = static_cast<std::uint32_t>(layout.column_count);
    position_width_ = layout.position_width;
    node_width_ = layout.node_width;
    level_count_ = static_cast<std::uint8_t>(layout.level_count);
    has_distances_ = layout.has_distances;
    one_byte_entries_ = position_width_.shift == 0 && node_width_.shift == 0 &&
                        range_min_levels[level_count_ - 1].shift == 0;
}

TreeLca TreeLca::build(const Tree& tree, std::size_t taxon_count) {
    const Layout layout = layout_for(tree);
    const std::size_t positions_bytes = positions_bytes_of(taxon_count, layout.position_width);
    TreeLca index;
    // One allocation: the per-taxon table, then the block.
    index.positions_ = new std::byte[positions_bytes + layout.block_bytes];
    index.owns_memory_ = true;
    index.adopt(layout, index.positions_ + positions_bytes);
    BuildScratch scratch;
    std::vector<TaxonPlace> labelled;
    labelled.reserve(tree.node_count());
    index.fill(tree, scratch, labelled);
    index.write_taxon_positions(taxon_count, index.positions_, labelled);
    return index;
}

TreeLca TreeLca::build_in(const Tree& tree, std::span<std::byte> place, BuildScratch& scratch,
                          std::vector<TaxonPlace>& labelled) {
    const Layout layout = layout_for(tree);
    checked_index(layout.block_bytes - 1, place.size());
    TreeLca index;
    index.adopt(layout, place.data());
    index.fill(tree, scratch, labelled);
    return index;
}

void TreeLca::place_taxon_positions(std::size_t taxon_count, std::span<std::byte> place,
                                    std::span<const TaxonPlace> labelled) {
    checked_index(positions_bytes_for(taxon_count) - 1, place.size());
    write_taxon_positions(taxon_count, place.data(), labelled);
}

void TreeLca::write_taxon_positions(std::size_t taxon_count, std::byte* place,
                                    std::span<const TaxonPlace> labelled) {
    if (taxon_count > std::numeric_limits<std::uint32_t>::max())
        fail(ErrorKind::too_large, "too many taxa: an index holds at most 4294967295");
    // Every slot starts absent (0), the bytes after the last one included, which reads of it
    // take in; in walk order, a later node with the same taxon overwrites an earlier one.
    std::memset(place, 0, positions_bytes_of(taxon_count, position_width_));
    for (const TaxonPlace& labelled_node : labelled) {
        write_packed(place, checked_index(labelled_node.taxon.index(), taxon_count),
                     position_width_, labelled_node.position.value);
    }
    positions_ = place;
    taxon_count_ = static_cast<std::uint32_t>(taxon_count);
}

void TreeLca::fill(const Tree& tree, BuildScratch& scratch, std::vector<TaxonPlace>& labelled) {
    const std::size_t tour_length = tour_length_;
    const std::size_t columns = column_count_;
    scratch.make_room_for(tree);
    std::uint32_t* const nodes = scratch.rows_.data();
    std::uint32_t* const depths = nodes + tour_length;

    // Everything the walk does not write reads as 0: unreached nodes' distances, and the bytes
    // after the arrays that packed reads take in.
    const std::size_t nodes_end = nodes_offset_ + node_width_.bytes_for(tour_length);
    std::memset(block_ + nodes_end, 0, block_bytes() - nodes_end);
    auto* const distances = reinterpret_cast<double*>(block_ + distances_offset_);

    const std::span<const std::int32_t> node_taxa = tree.node_taxons();
    const std::span<const std::int32_t> first_children = tree.first_children();
    const std::span<const std::int32_t> next_siblings = tree.next_siblings();
    const std::span<const double> lengths = tree.branch_lengths();
    std::uint32_t position = 0;
    auto arrive = [&](std::int32_t node, std::uint32_t depth) {
        const std::int32_t taxon = node_taxa[static_cast<std::size_t>(node)];
        if (taxon >= 0) {
            labelled.push_back({TaxonId{static_cast<std::uint32_t>(taxon)}, EulerPos{position}});
        }
        nodes[position] = static_cast<std::uint32_t>(node);
        depths[position] = depth;
        ++position;
    };

    // An explicit stack: trees may be nested far deeper than the call stack allows. It holds
    // at most every node, the room make_room_for gave it; the depth of a node is the number of
    // its ancestors on the stack.
    BuildScratch::PendingNode* const pending = scratch.pending_.data();
    std::size_t height = 0;
    arrive(0, 0);
    pending[height++] = {NodeId::root(), NodeId{first_children[0]}};
    while (height != 0) {
        BuildScratch::PendingNode& top = pending[height - 1];
        if (top.next_child.is_none()) {
            if (--height != 0) {
                nodes[position] = static_cast<std::uint32_t>(pending[height - 1].node.value);
                depths[position] = static_cast<std::uint32_t>(height - 1);
                ++position;
            }
            continue;
        }
        const std::int32_t child = top.next_child.value;
        const auto child_index = static_cast<std::size_t>(child);
        top.next_child = NodeId{next_siblings[child_index]};
        if (has_distances_) {
            distances[child_index] = distances[top.node.index()] + lengths[child_index];
        }
        arrive(child, static_cast<std::uint32_t>(height));
        pending[height++] = {NodeId{child}, NodeId{first_children[child_index]}};
    }
    // The spare entry, and any entries of nodes the walk cannot reach (a "," at the root links
    // its node only as the root's sibling), read like visits of the root.
    std::fill(nodes + position, nodes + tour_length, 0u);
    std::fill(depths + position, depths + tour_length, 0u);

    write_packed_run(nodes, tour_length, block_ + nodes_offset_, node_width_);
    write_packed_run(depths, tour_length, block_ + depths_offset_, node_width_);
    fill_range_min_rows(depths, columns, level_count_, depths + tour_length, block_);
}

std::size_t TreeLca::positions_bytes() const {
    return positions_ == nullptr ? 0 : positions_bytes_of(taxon_count_, position_width_);
}

std::size_t TreeLca::block_bytes() const {
    if (block_ == nullptr) return 0;
    if (has_distances_) return distances_offset_ + (tour_length_ / 2) * sizeof(double);
    return round_up_to_8(nodes_offset_ + node_width_.bytes_for(tour_length_) + packed_read_slack);
}

void TreeLca::release() {
    // An owned index is one allocation, which begins with the per-taxon table when it has one.
    if (owns_memory_) delete[] (positions_ != nullptr ? positions_ : block_);
    block_ = nullptr;
    positions_ = nullptr;
    owns_memory_ = false;
}

TreeLca::~TreeLca() {
    release();
}

TreeLca::TreeLca(const TreeLca& other) {
    *this = other;
}

TreeLca& TreeLca::operator=(const TreeLca& other) {
    if (this == &other) return *this;
    // Allocated before anything changes, so a failed allocation leaves the index as it was.
    const std::size_t positions_bytes = other.positions_bytes();
    std::byte* memory = nullptr;
    if (other.block_ != nullptr) {
        memory = new std::byte[positions_bytes + other.block_bytes()];
        if (other.positions_ != nullptr) std::memcpy(memory, other.positions_, positions_bytes);
        std::memcpy(memory + positions_bytes, other.block_, other.block_bytes());
    }
    release();
    copy_shape_from(other);
    positions_ = other.positions_ != nullptr ? memory : nullptr;
    block_ = memory != nullptr ? memory + positions_bytes : nullptr;
    owns_memory_ = memory != nullptr;
    return *this;
}

TreeLca::TreeLca(TreeLca&& other) noexcept {
    *this = std::move(other);
}

TreeLca& TreeLca::operator=(TreeLca&& other) noexcept {
    if (this == &other) return *this;
    release();
    copy_shape_from(other);
    block_ = std::exchange(other.block_, nullptr);
    positions_ = std::exchange(other.positions_, nullptr);
    owns_memory_ = std::exchange(other.owns_memory_, false);
    other.copy_shape_from(TreeLca());
    return *this;
}

void TreeLca::copy_shape_from(const TreeLca& other) {
    depths_offset_ = other.depths_offset_;
    nodes_offset_ = other.nodes_offset_;
    distances_offset_ = other.distances_offset_;
    taxon_count_ = other.taxon_count_;
    tour_length_ = other.tour_length_;
    column_count_ = other.column_count_;
    position_width_ = other.position_width_;
    node_width_ = other.node_width_;
    level_count_ = other.level_count_;
    has_distances_ = other.has_distances_;
    one_byte_entries_ = other.one_byte_entries_;
}

void TreeLca::prefetch_for_query(std::span<const TaxonId> taxa, bool with_distances) const {
    constexpr std::size_t line = 64;
    constexpr std::size_t whole_index_limit = 4096;
    // Into the second-level cache (prefetcht2): it has room for many more outstanding misses
    // than the first level, where a run of prefetches a few trees ahead would wait for a slot.
    constexpr int locality = 1;
    for (const TaxonId taxon : taxa) {
        if (taxon.index() < taxon_count_) {
            __builtin_prefetch(positions_ + position_width_.bytes_for(taxon.index()), 0, locality);
        }
    }
    const std::size_t query_bytes =
        (with_distances && has_distances_) ? block_bytes() : distances_offset_;
    if (query_bytes <= whole_index_limit) {
        const auto* start = reinterpret_cast<const char*>(block_);
        for (std::size_t offset = 0; offset < query_bytes; offset += line)
            __builtin_prefetch(start + offset, 0, locality);
    }
}

std::vector<std::uint32_t> TreeLca::taxon_positions() const {
    std::vector<std::uint32_t> out(taxon_count_);
    for (std::size_t taxon = 0; taxon < out.size(); ++taxon)
        out[taxon] = taxon_position(TaxonId{static_cast<std::uint32_t>(taxon)}).value;
    return out;
}

std::vector<std::uint32_t> TreeLca::euler_nodes() const {
    std::vector<std::uint32_t> out(tour_length_);
    for (std::uint32_t p = 0; p < out.size(); ++p)
        out[p] = static_cast<std::uint32_t>(node_at(EulerPos{p}).value);
    return out;
}

std::vector<double> TreeLca::euler_distances() const {
    std::vector<double> out(tour_length_);
    for (std::uint32_t p = 0; p < out.size(); ++p) out[p] = distance_at(EulerPos{p});
    return out;
}

std::vector<std::uint32_t> TreeLca::euler_depths() const {
    std::vector<std::uint32_t> out(tour_length_);
    for (std::uint32_t p = 0; p < out.size(); ++p) out[p] = depth_at(EulerPos{p});
    return out;
}

EulerPos TreeLca::range_min_entry(std::size_t level, std::size_t column) const {
    checked_index(level, level_count_);
    checked_index(column, column_count_);
    if (level == 0) return EulerPos{static_cast<std::uint32_t>(column)};
    if (column + (std::size_t{1} << level) > column_count_) return EulerPos{0};
    const std::byte* row = block_ + range_min_row_start(level, column_count_);
    const PackedWidth width{range_min_levels[level].shift, static_cast<std::uint8_t>(32 - level)};
    return EulerPos{static_cast<std::uint32_t>(column + read_packed(row, column, width))};
}

TreeLca::PartBytes TreeLca::part_bytes() const {
    return {positions_bytes(), depths_offset_, 2 * (nodes_offset_ - depths_offset_),
            has_distances_ ? (tour_length_ / 2) * sizeof(double) : 0};
}

}  // namespace treetally
