#include "tables/topology_table.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "base/fatal_error.hpp"
#include "base/saturating_add.hpp"
#include "base/thread_count.hpp"
#include "tables/table_kernels.hpp"

namespace treetally {

namespace {

// Vectors of trees a kernel counts between two asks of the interrupt: a few microseconds with
// the widest kernels, a few milliseconds with the baseline ones.
constexpr std::size_t vectors_per_interrupt_check = 1 << 12;

std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

std::uint64_t saturated(RowRank value) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return value > most ? most : static_cast<std::uint64_t>(value);
}

// Rows of the longest prefix run: the first prefix's last taxon runs over all but size - 1.
std::size_t most_prefix_rows(std::size_t taxon_count, int size) {
    const auto others = static_cast<std::size_t>(size - 1);
    return taxon_count > others ? taxon_count - others : 0;
}

// Blocks of `asked` rows, by default of default_rows_per_block but small enough that a small
// table still makes some dozens of blocks for the threads to share; never less than a prefix.
std::size_t effective_rows_per_block(std::size_t asked, std::size_t taxon_count, int size,
                                     RowRank row_count) {
    constexpr std::size_t fewest_default_rows = 1024;
    constexpr std::size_t blocks_of_a_small_table = 64;
    std::size_t rows = asked;
    if (rows == 0) {
        const RowRank share = row_count / blocks_of_a_small_table;
        rows = static_cast<std::size_t>(
            std::clamp<RowRank>(share, fewest_default_rows, TopologyTable::default_rows_per_block));
    }
    return std::max({rows, most_prefix_rows(taxon_count, size), std::size_t{1}});
}

// A block of `rows` rows as TableBlock holds it.
std::size_t block_bytes(std::size_t rows, int size) {
    const std::size_t per_row = static_cast<std::size_t>(size) * sizeof(std::uint32_t) +
                                (topology_codes(size) + 2) * sizeof(std::uint64_t);
    return saturating_product(rows, per_row);
}

// Blocks alive per thread: the one being counted, the two that may wait for the consumer, and
// the one being handed over together with the copy its consumer makes of it.
constexpr std::size_t blocks_per_thread = 5;

std::size_t table_bytes(const PairDepthShape& shape, int size, std::size_t rows_per_block,
                        std::size_t threads) {
    // A block ends with the prefix that starts before its end.
    const std::size_t block_rows =
        saturating_add(rows_per_block, most_prefix_rows(shape.taxa, size));
    const std::size_t per_thread = saturating_add(
        table_kernels::prefix_scratch_words(shape.padded_trees) * sizeof(std::uint64_t),
        saturating_product(blocks_per_thread, block_bytes(block_rows, size)));
    return saturating_add(PairDepthRows::bytes_for(shape), saturating_product(threads, per_thread));
}

void require_table_size(int size) {
    if (size != 4 && size != 5)
        fail("a topology table holds quartets or quintets (size 4 or 5), not size " +
             std::to_string(size));
}

}  // namespace

TopologyTable::TopologyTable(const TreeSetData& data, std::vector<TaxonId> taxa, int size,
                             std::size_t memory_budget, std::size_t rows_per_block,
                             std::size_t threads)
    : data_(&data), taxa_(std::move(taxa)), size_(size) {
    require_table_size(size);
    for (const TaxonId taxon : taxa_) checked_index(taxon.index(), data.taxon_set.size());
    std::vector<TaxonId> sorted = taxa_;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        fail("the taxa of a topology table must be distinct");
    count_by_pair_depths(memory_budget, rows_per_block, threads);
}

void TopologyTable::count_by_pair_depths(std::size_t memory_budget, std::size_t rows_per_block,
                                         std::size_t threads) {
    const std::size_t n = taxa_.size();
    // The rows alone, at one byte a depth, before reading any tree: a list far too long for
    // the budget is refused at once.
    const PairDepthShape least{.taxa = n,
                               .trees = data_->tree_count(),
                               .padded_trees = padded_tree_count(data_->tree_count())};
    if (n >= most_ranked_numbers || PairDepthRows::bytes_for(least) > memory_budget)
        throw std::bad_alloc();
    shape_ = PairDepthRows::shape_of(*data_, taxa_);
    set_blocks(rows_per_block);
    bytes_needed_ =
        table_bytes(shape_, size_, rows_per_block_, started_threads(threads, block_count_));
    if (bytes_needed_ > memory_budget) throw std::bad_alloc();
    rows_ = std::make_unique<PairDepthRows>(*data_, taxa_, shape_);
}

TopologyTable::TopologyTable(const TreeSetData& data, std::vector<std::vector<TaxonId>> groups,
                             int size, std::size_t memory_budget, std::size_t rows_per_block,
                             std::size_t threads)
    : data_(&data), groups_(std::move(groups)), size_(size) {
    require_table_size(size);
    std::vector<TaxonId> members;
    for (const std::vector<TaxonId>& group : groups_) {
        if (group.empty()) fail("a group of a topology table is empty");
        for (const TaxonId taxon : group) {
            checked_index(taxon.index(), data.taxon_set.size());
            members.push_back(taxon);
        }
    }
    std::sort(members.begin(), members.end());
    if (std::adjacent_find(members.begin(), members.end()) != members.end())
        fail("the groups of a topology table must be disjoint");
    if (groups_.size() >= most_ranked_numbers) throw std::bad_alloc();
    // Species of one individual each are counted as taxa, by the kernels, and their whole
    // counts handed out as shares: the same values, at the speed of a plain table.
    if (std::all_of(groups_.begin(), groups_.end(),
                    [](const std::vector<TaxonId>& group) { return group.size() == 1; })) {
        for (const std::vector<TaxonId>& group : groups_) taxa_.push_back(group[0]);
        count_by_pair_depths(memory_budget, rows_per_block, threads);
        return;
    }
    set_blocks(rows_per_block);
    // No pair-depth rows: each thread holds its blocks (of shares instead of counts, as
    // large) and the positions of one tree's individuals; the groups are kept once.
    const std::size_t block_rows =
        saturating_add(rows_per_block_, most_prefix_rows(groups_.size(), size));
    const std::size_t per_thread =
        saturating_add(saturating_product(blocks_per_thread, block_bytes(block_rows, size)),
                       members.size() * (sizeof(EulerPos) + sizeof(std::size_t)));
    bytes_needed_ = saturating_add(
        saturating_add(saturating_add(members.size() * sizeof(TaxonId),
                                      groups_.size() * sizeof(std::vector<TaxonId>)),
                       GroupPlaces::bytes_for(data, groups_)),
        saturating_product(started_threads(threads, block_count_), per_thread));
    if (bytes_needed_ > memory_budget) throw std::bad_alloc();
    places_ = std::make_unique<LazyPlaces>();
}

void TopologyTable::set_blocks(std::size_t rows_per_block) {
    const std::size_t n = taxon_count();
    const auto s = static_cast<std::size_t>(size_);
    if (n >= s) row_count_ = binomial(n, s);
    rows_per_block_ = effective_rows_per_block(rows_per_block, n, size_, row_count_);
    if (n >= s) {
        const RowRank blocks = (row_count_ + rows_per_block_ - 1) / rows_per_block_;
        block_count_ = static_cast<std::size_t>(
            std::min<RowRank>(blocks, std::numeric_limits<std::size_t>::max()));
    }
}

TopologyTable::TopologyTable(TopologyTable&&) noexcept = default;
TopologyTable& TopologyTable::operator=(TopologyTable&&) noexcept = default;
TopologyTable::~TopologyTable() = default;

std::size_t TopologyTable::estimated_bytes(const TreeSetData& data, std::size_t taxon_count,
                                           int size, std::size_t threads) {
    require_table_size(size);
    return table_bytes(PairDepthRows::shape_bound(data, taxon_count), size,
                       std::max(default_rows_per_block, most_prefix_rows(taxon_count, size)),
                       std::max<std::size_t>(threads, 1));
}

std::uint64_t TopologyTable::row_count() const {
    return saturated(row_count_);
}

std::size_t TopologyTable::peak_bytes() const {
    return rows_ ? rows_->bytes_held() : 0;
}

// The first prefix of block k is the first one whose first row is at k * rows_per_block_ or
// after. A prefix has at most rows_per_block_ rows, so every block up to the last row has one.
TopologyTable::BlockStart TopologyTable::block_start(std::size_t block) const {
    const std::size_t n = taxon_count();
    const auto s = static_cast<std::size_t>(size_);
    const RowRank row = RowRank{block} * rows_per_block_;
    std::vector<std::uint32_t> first(s);
    CombinationOrder(n, s).unrank(row, first);
    BlockStart start{row, std::vector<std::uint32_t>(first.begin(), first.end() - 1)};
    if (first[s - 1] != first[s - 2] + 1) {
        // `row` lies inside a prefix: the block starts with the next one.
        start.first_row = row + (n - first[s - 1]);
        CombinationOrder(n - 1, s - 1).advance(start.prefix);
    }
    return start;
}

std::uint64_t TopologyTable::first_row(std::size_t block) const {
    checked_index(block, block_count_ + 1);
    return block == block_count_ ? row_count() : saturated(block_start(block).first_row);
}

TableBlock TopologyTable::count_block(std::size_t block, const InterruptCheck& interrupt) const {
    checked_index(block, block_count_);
    const std::size_t n = taxon_count();
    const auto s = static_cast<std::size_t>(size_);
    BlockStart start = block_start(block);
    const RowRank end = block + 1 < block_count_ ? block_start(block + 1).first_row : row_count_;

    TableBlock out;
    out.size = size_;
    out.first_row = saturated(start.first_row);
    out.rows = static_cast<std::size_t>(end - start.first_row);
    out.taxa.resize(out.rows * s);
    out.holding.resize(out.rows);
    if (places_) {
        out.shares.resize(out.rows * (out.codes() + 1));
    } else {
        out.counts.resize(out.rows * out.codes());
        out.unresolved.resize(out.rows);
    }

    std::vector<std::uint64_t> prefix_scratch(
        s == 5 ? table_kernels::prefix_scratch_words(shape_.padded_trees) : 0);
    const CombinationOrder prefixes(n - 1, s - 1);
    std::vector<std::uint32_t>& prefix = start.prefix;
    // Blocks end where prefixes do: each prefix's rows lie inside the block.
    std::size_t row = 0;
    while (row < out.rows) {
        const std::size_t prefix_rows = n - 1 - prefix.back();
        checked_index(row + prefix_rows - 1, out.rows);
        if (places_)
            count_mapped_prefix(prefix, row, out, interrupt);
        else
            count_prefix(prefix, row, out, prefix_scratch, interrupt);
        row += prefix_rows;
        if (!prefixes.advance(prefix)) break;
    }
    if (row != out.rows) fail("a block of a topology table ended inside a prefix");
    if (places_) return out;
    for (row = 0; row < out.rows; ++row) {
        std::uint64_t resolved = 0;
        for (std::size_t k = 0; k < out.codes(); ++k) resolved += out.counts[row * out.codes() + k];
        out.unresolved[row] = out.holding[row] - resolved;
    }
    if (mapped()) {
        // Whole counts of species of one individual each, as the shares a table of groups holds.
        const std::size_t width = out.codes() + 1;
        out.shares.resize(out.rows * width);
        for (row = 0; row < out.rows; ++row) {
            for (std::size_t k = 0; k < out.codes(); ++k)
                out.shares[row * width + k] = static_cast<double>(out.counts[row * out.codes() + k]);
            out.shares[row * width + width - 1] = static_cast<double>(out.unresolved[row]);
        }
        out.counts = {};
        out.unresolved = {};
    }
    return out;
}

const GroupPlaces& TopologyTable::places(const InterruptCheck& interrupt) const {
    // An interrupt while they are found leaves them to the next block.
    std::call_once(places_->found, [&] {
        places_->places = std::make_unique<GroupPlaces>(*data_, groups_, interrupt);
    });
    return *places_->places;
}

void TopologyTable::count_mapped_prefix(std::span<const std::uint32_t> prefix, std::size_t first,
                                        TableBlock& out, const InterruptCheck& interrupt) const {
    const std::size_t n = groups_.size();
    const std::size_t s = prefix.size() + 1;
    const std::size_t width = out.codes() + 1;
    const std::size_t last_first = prefix.back() + std::size_t{1};
    const GroupPlaces& found = places(interrupt);
    MappedScratch scratch;
    for (std::size_t last = last_first; last < n; ++last) {
        const std::size_t row = first + last - last_first;
        std::uint32_t* taxa = &out.taxa[row * s];
        std::copy(prefix.begin(), prefix.end(), taxa);
        taxa[s - 1] = static_cast<std::uint32_t>(last);
        add_mapped_tally(*data_, found, std::span<const std::uint32_t>(taxa, s),
                         std::span(out.shares).subspan(row * width, width), out.holding[row],
                         scratch, interrupt);
    }
}

void TopologyTable::count_prefix(std::span<const std::uint32_t> prefix, std::size_t first,
                                 TableBlock& out, std::vector<std::uint64_t>& prefix_scratch,
                                 const InterruptCheck& interrupt) const {
    for (const std::uint32_t taxon : prefix) rows_->build_group(taxon, interrupt);
    const std::size_t n = taxa_.size();
    const std::size_t s = prefix.size() + 1;
    const std::size_t last_first = prefix.back() + std::size_t{1};
    for (std::size_t last = last_first; last < n; ++last) {
        std::uint32_t* taxa = &out.taxa[(first + last - last_first) * s];
        std::copy(prefix.begin(), prefix.end(), taxa);
        taxa[s - 1] = static_cast<std::uint32_t>(last);
    }

    const table_kernels::KernelSet& kernels =
        table_kernels::kernels_for(current_kernel_width(), shape_.depth_bytes);
    const std::size_t trees = shape_.padded_trees;
    const std::size_t stride = shape_.row_bytes();
    const std::size_t vectors_per_row = std::max<std::size_t>(1, trees / kernels.lanes);
    const std::size_t rows_per_run =
        std::max<std::size_t>(1, vectors_per_interrupt_check / vectors_per_row);
    const PairDepthRows& rows = *rows_;
    const std::size_t a = prefix[0], b = prefix[1], c = prefix[2];
    if (s == 5) {
        const std::size_t d = prefix[3];
        const table_kernels::QuintetPrefix fixed{rows.row(a, b), rows.row(a, c), rows.row(a, d),
                                                 rows.row(b, c), rows.row(b, d), rows.row(c, d)};
        kernels.quintet_prefix(fixed, trees, prefix_scratch.data());
        for (std::size_t e = last_first; e < n; e += rows_per_run) {
            const std::size_t row = first + e - last_first;
            const table_kernels::QuintetRun run{rows.row(a, e),
                                                rows.row(b, e),
                                                rows.row(c, e),
                                                rows.row(d, e),
                                                std::min(rows_per_run, n - e),
                                                stride};
            kernels.quintet_rows(fixed, prefix_scratch.data(), run, trees, &out.counts[row * quintet_type_count],
                                 &out.holding[row]);
            interrupt();
        }
        return;
    }
    for (std::size_t d = last_first; d < n; d += rows_per_run) {
        const std::size_t row = first + d - last_first;
        const table_kernels::QuartetRun run{rows.row(a, b),
                                            rows.row(a, c),
                                            rows.row(b, c),
                                            rows.row(a, d),
                                            rows.row(b, d),
                                            rows.row(c, d),
                                            std::min(rows_per_run, n - d),
                                            stride};
        kernels.quartet_rows(run, trees, &out.counts[row * quartet_type_count], &out.holding[row]);
        interrupt();
    }
}

}  // namespace treetally
