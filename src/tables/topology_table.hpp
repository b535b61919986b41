// The all-quartet or all-quintet table of a list of taxa over a set: one row per combination
// of 4 or 5 of the taxa, in itertools.combinations order over the list, with the trees showing
// each topology (as tally_single_quartet / tally_single_quintet count them, slots in list
// order), the trees holding all the row's taxa and the unresolved ones among those.
//
// Rows are counted in blocks: a block is a run of whole "prefixes" (the rows that share all
// taxa but the last) of about rows_per_block rows. Counting reads the pair-depth rows of the
// taxa (pair_depth_rows.hpp), built as the blocks first need them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/interrupt_check.hpp"
#include "sets/mapped_tallies.hpp"
#include "sets/tree_set_data.hpp"
#include "tables/combination_order.hpp"
#include "tables/kernel_width.hpp"
#include "tables/pair_depth_rows.hpp"
#include "tables/table_block.hpp"
#include "tree/ids.hpp"

namespace treetally {

class TopologyTable {
  public:
    static constexpr std::size_t default_rows_per_block = std::size_t{1} << 16;

    // `taxa`: distinct ids of `data`'s set, in the table's order; `size` 4 or 5 (else a fatal
    // error, as are repeated or unknown ids). Raises std::bad_alloc at once, having built
    // nothing, when the table would need more than `memory_budget` bytes (see bytes_needed).
    // Cheap: one pass over the taxa's places in the trees; the rows come later. `data` must
    // outlive the table. rows_per_block 0 means default_rows_per_block, or for a table of
    // fewer than 64 such blocks a 64th of its rows (at least 1024), so that threads share it;
    // a block never holds less than one prefix. `threads`: how many threads will count its
    // blocks at once (an OrderedBlocks run of that many), for the memory they take.
    TopologyTable(const TreeSetData& data, std::vector<TaxonId> taxa, int size,
                  std::size_t memory_budget, std::size_t rows_per_block = 0,
                  std::size_t threads = 1);
    // A table of species, each the group of the set's taxa (individuals, gene copies) mapped
    // to it, in the table's order: each row counts what mapped_tally counts (blocks of shares,
    // TableBlock::shares). Groups must be non-empty and disjoint (else a fatal error). Raises
    // std::bad_alloc at once when the blocks the threads hold and the groups would need more
    // than `memory_budget` bytes, counted before the places of each group's individuals in
    // each tree are found (one pass over the trees).
    TopologyTable(const TreeSetData& data, std::vector<std::vector<TaxonId>> groups, int size,
                  std::size_t memory_budget, std::size_t rows_per_block = 0,
                  std::size_t threads = 1);
    TopologyTable(TopologyTable&&) noexcept;
    TopologyTable& operator=(TopologyTable&&) noexcept;
    ~TopologyTable();

    // Bytes a table of `taxon_count` of the set's taxa may need at most, whichever they are,
    // counted on `threads` threads: every pair-depth row, the per-tree lists, and for each
    // thread the kernels' scratch and five blocks of the default size (one counted, two
    // waiting, one handed over with its copy). Reads only the trees' sizes. Saturates.
    static std::size_t estimated_bytes(const TreeSetData& data, std::size_t taxon_count, int size,
                                       std::size_t threads = 1);
    // The same for this table's own taxa and blocks, for the threads a run of its blocks on
    // `threads` threads starts (started_threads): what the constructor checks.
    std::size_t bytes_needed() const { return bytes_needed_; }

    std::uint64_t row_count() const;  // C(n, size), saturating
    std::size_t block_count() const { return block_count_; }
    // The rank of block `block`'s first row (block <= block_count(); block_count() gives
    // row_count()), so that a run of blocks knows its rows before it is counted. Saturating.
    std::uint64_t first_row(std::size_t block) const;

    // Block `block` (< block_count()). Thread-safe; builds the pair-depth rows it needs first.
    // `interrupt` is asked every fraction of a millisecond of work; what it raises leaves the
    // table as it was, but for rows built meanwhile.
    TableBlock count_block(std::size_t block, const InterruptCheck& interrupt = {}) const;

    // Bytes held now (the rows built so far and their bookkeeping; blocks belong to callers).
    std::size_t peak_bytes() const;

    int size() const { return size_; }
    // The table's taxa (for a table of groups, empty unless each holds one) and how many it
    // has either way.
    const std::vector<TaxonId>& taxa() const { return taxa_; }
    std::size_t taxon_count() const { return groups_.empty() ? taxa_.size() : groups_.size(); }
    bool mapped() const { return !groups_.empty(); }
    std::size_t depth_bytes() const { return shape_.depth_bytes; }

  private:
    struct BlockStart {
        RowRank first_row;
        std::vector<std::uint32_t> prefix;
    };
    BlockStart block_start(std::size_t block) const;
    void count_prefix(std::span<const std::uint32_t> prefix, std::size_t first, TableBlock& out,
                      std::vector<std::uint64_t>& prefix_scratch,
                      const InterruptCheck& interrupt) const;
    void count_mapped_prefix(std::span<const std::uint32_t> prefix, std::size_t first,
                             TableBlock& out, const InterruptCheck& interrupt) const;
    void set_blocks(std::size_t rows_per_block);
    // Builds the pair-depth rows of taxa_ that the kernels count from (memory checked first).
    void count_by_pair_depths(std::size_t memory_budget, std::size_t rows_per_block,
                              std::size_t threads);

    const TreeSetData* data_;
    std::vector<TaxonId> taxa_;
    std::vector<std::vector<TaxonId>> groups_;
    // The places of groups_ in each tree, found by the first block that needs them (like the
    // pair-depth rows), for a table of groups; none when each group holds one taxon, which
    // taxa_ then lists and the kernels count.
    struct LazyPlaces {
        std::once_flag found;
        std::unique_ptr<GroupPlaces> places;
    };
    std::unique_ptr<LazyPlaces> places_;
    const GroupPlaces& places(const InterruptCheck& interrupt) const;
    int size_;
    PairDepthShape shape_;
    RowRank row_count_ = 0;
    std::size_t rows_per_block_ = 0;  // at least the most rows one prefix has
    std::size_t block_count_ = 0;
    std::size_t bytes_needed_ = 0;
    std::unique_ptr<PairDepthRows> rows_;
};

}  // namespace treetally
