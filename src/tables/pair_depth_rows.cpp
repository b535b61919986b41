#include "tables/pair_depth_rows.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "base/fatal_error.hpp"
#include "base/saturating_add.hpp"
#include "lca/pair_depths.hpp"

namespace treetally {

namespace {

// Rows start on a cache line, so that the kernels' loads never straddle two.
constexpr std::align_val_t row_alignment{64};

// Depths a tree's deepest leaf must stay below for each width: the largest value is the sentinel.
std::size_t depth_bytes_for(std::uint32_t deepest_leaf) {
    if (deepest_leaf < std::numeric_limits<std::uint8_t>::max()) return 1;
    if (deepest_leaf < std::numeric_limits<std::uint16_t>::max()) return 2;
    return 4;
}

std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

template <typename Depth>
void store_depths(std::byte* rows, std::size_t row_bytes, std::size_t tree,
                  std::span<const std::uint32_t> row_of, std::span<const std::uint32_t> depths) {
    for (std::size_t k = 0; k < row_of.size(); ++k) {
        auto* row = reinterpret_cast<Depth*>(rows + row_of[k] * row_bytes);
        row[tree] = static_cast<Depth>(depths[k]);
    }
}

// LCA queries between two asks of the interrupt while a group is built: well under a
// millisecond of work.
constexpr std::size_t queries_per_interrupt_check = 1 << 16;

}  // namespace

struct PairDepthRows::Group {
    std::mutex building;
    std::atomic<bool> built{false};
    Rows rows;
};

void PairDepthRows::AlignedFree::operator()(std::byte* bytes) const {
    ::operator delete[](bytes, row_alignment);
}

PairDepthShape PairDepthRows::shape_of(const TreeSetData& data, std::span<const TaxonId> taxa) {
    PairDepthShape shape;
    shape.taxa = taxa.size();
    shape.trees = data.tree_count();
    shape.padded_trees = padded_tree_count(shape.trees);
    std::uint32_t deepest = 0;
    for (const TreeLca& lca : data.lcas) {
        std::size_t held = 0;
        for (const TaxonId taxon : taxa) {
            const EulerPos position = lca.taxon_position(taxon);
            if (position.is_absent()) continue;
            ++held;
            deepest = std::max(deepest, lca.depth_at(position));
        }
        shape.held += held;
        shape.most_held = std::max(shape.most_held, held);
    }
    shape.depth_bytes = depth_bytes_for(deepest);
    return shape;
}

PairDepthShape PairDepthRows::shape_bound(const TreeSetData& data, std::size_t taxon_count) {
    PairDepthShape shape;
    shape.taxa = taxon_count;
    shape.trees = data.tree_count();
    shape.padded_trees = padded_tree_count(shape.trees);
    std::size_t most_nodes = 0;
    for (const TreeLca& lca : data.lcas) {
        // The tour visits each node twice.
        const std::size_t nodes = lca.tour_length() / 2;
        most_nodes = std::max(most_nodes, nodes);
        shape.held = saturating_add(shape.held, std::min(nodes, taxon_count));
    }
    shape.most_held = std::min(most_nodes, taxon_count);
    shape.depth_bytes = depth_bytes_for(static_cast<std::uint32_t>(
        std::min<std::size_t>(most_nodes, std::numeric_limits<std::uint32_t>::max())));
    return shape;
}

std::size_t PairDepthRows::bytes_for(const PairDepthShape& shape) {
    const std::size_t rows = saturating_product(shape.pair_count(), shape.row_bytes());
    const std::size_t lists =
        saturating_add(saturating_product(shape.held, sizeof(std::uint32_t) + sizeof(EulerPos)),
                       saturating_product(shape.trees + 1, sizeof(std::size_t)));
    const std::size_t groups = saturating_product(shape.taxa, sizeof(Group));
    return saturating_add(saturating_add(rows, lists), groups);
}

PairDepthRows::PairDepthRows(const TreeSetData& data, std::span<const TaxonId> taxa,
                             const PairDepthShape& shape)
    : data_(&data), shape_(shape) {
    checked_index(taxa.size(), shape.taxa + 1);
    held_start_.reserve(shape.trees + 1);
    held_taxa_.reserve(shape.held);
    held_positions_.reserve(shape.held);
    for (const TreeLca& lca : data.lcas) {
        held_start_.push_back(held_taxa_.size());
        for (std::size_t k = 0; k < taxa.size(); ++k) {
            const EulerPos position = lca.taxon_position(taxa[k]);
            if (position.is_absent()) continue;
            held_taxa_.push_back(static_cast<std::uint32_t>(k));
            held_positions_.push_back(position);
        }
    }
    held_start_.push_back(held_taxa_.size());
    groups_ = std::make_unique<Group[]>(shape.taxa);
    const PairDepthShape no_rows{.taxa = shape.taxa, .trees = shape.trees, .held = shape.held};
    bytes_held_.store(bytes_for(no_rows), std::memory_order_relaxed);
}

PairDepthRows::~PairDepthRows() = default;

std::size_t PairDepthRows::group_bytes(std::size_t i) const {
    return (shape_.taxa - 1 - i) * shape_.row_bytes();
}

bool PairDepthRows::group_built(std::size_t i) const {
    return groups_[checked_index(i, shape_.taxa)].built.load(std::memory_order_acquire);
}

void PairDepthRows::build_group(std::size_t i, const InterruptCheck& interrupt) const {
    Group& group = groups_[checked_index(i, shape_.taxa)];
    if (group.built.load(std::memory_order_acquire)) return;
    const std::lock_guard lock(group.building);
    if (group.built.load(std::memory_order_relaxed)) return;
    const std::size_t bytes = group_bytes(i);
    if (bytes != 0) {
        Rows rows(static_cast<std::byte*>(::operator new[](bytes, row_alignment)));
        // All ones is the sentinel of every width.
        std::memset(rows.get(), 0xff, bytes);
        fill_group(i, rows.get(), interrupt);
        group.rows = std::move(rows);
        bytes_held_.fetch_add(bytes, std::memory_order_relaxed);
    }
    group.built.store(true, std::memory_order_release);
}

void PairDepthRows::fill_group(std::size_t i, std::byte* rows,
                               const InterruptCheck& interrupt) const {
    std::vector<std::uint32_t> depths(shape_.most_held);
    std::vector<std::uint32_t> row_of(shape_.most_held);
    InterruptPacer pacer(interrupt, queries_per_interrupt_check);
    for (std::size_t tree = 0; tree < shape_.trees; ++tree) {
        const auto first = held_taxa_.begin() + static_cast<std::ptrdiff_t>(held_start_[tree]);
        const auto last = held_taxa_.begin() + static_cast<std::ptrdiff_t>(held_start_[tree + 1]);
        const auto at = std::lower_bound(first, last, static_cast<std::uint32_t>(i));
        if (at == last || *at != i) {
            pacer.count(1);
            continue;
        }
        const auto from = static_cast<std::size_t>(at - held_taxa_.begin());
        const std::size_t count = static_cast<std::size_t>(last - at) - 1;
        for (std::size_t k = 0; k < count; ++k)
            row_of[k] = held_taxa_[from + 1 + k] - static_cast<std::uint32_t>(i) - 1;
        lca_depths_from(data_->lcas[tree], held_positions_[from],
                        std::span(held_positions_).subspan(from + 1, count), depths);
        const auto row_span = std::span<const std::uint32_t>(row_of).first(count);
        const auto depth_span = std::span<const std::uint32_t>(depths).first(count);
        switch (shape_.depth_bytes) {
            case 1:
                store_depths<std::uint8_t>(rows, shape_.row_bytes(), tree, row_span, depth_span);
                break;
            case 2:
                store_depths<std::uint16_t>(rows, shape_.row_bytes(), tree, row_span, depth_span);
                break;
            default:
                store_depths<std::uint32_t>(rows, shape_.row_bytes(), tree, row_span, depth_span);
        }
        pacer.count(count + 1);
    }
}

const std::byte* PairDepthRows::row(std::size_t i, std::size_t j) const {
    checked_index(i, j);
    checked_index(j, shape_.taxa);
    if (!group_built(i)) fail("a row of pair depths was read before its group was built");
    return groups_[i].rows.get() + (j - i - 1) * shape_.row_bytes();
}

}  // namespace treetally
