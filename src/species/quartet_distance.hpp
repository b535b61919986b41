// The intertaxon distance a species tree is joined from (QDC, and its weighted form WQDC):
// every quartet's dominant topology ab|cd adds to each pair it separates, (a,c), (a,d), (b,c)
// and (b,d), one vote (QDC) or the internal length its concordance implies (WQDC); tied
// largest counts share the addition equally. Quartets that no tree resolves add nothing, unless
// unresolved trees are spread a third to each topology: then their three topologies tie.
//
// Sums are kept as whole numbers (votes times six; lengths in units of 2^-56), so that adding
// in any order, on any number of threads, gives the same distances to the bit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/interrupt_check.hpp"
#include "tables/ordered_blocks.hpp"
#include "tables/table_block.hpp"
#include "tables/topology_table.hpp"

namespace treetally {

enum class QuartetWeight {
    votes,    // QDC: one vote per dominant topology
    lengths,  // WQDC: the estimated internal length of the dominant topology
};

// Six times a QDC vote: a topology tied with one or two others gets 3 or 2, a whole number.
inline constexpr std::int64_t whole_vote = 6;

// Bytes of one pair's sum in the exact form that machines exchange (QuartetDistanceSums).
inline constexpr std::size_t exact_sum_bytes = 16;

// Sums of one or more quartets' additions, for every pair of `taxa` taxa.
class QuartetDistanceSums {
  public:
    // `spread`: each unresolved tree of a quartet counts a third for each of its topologies.
    QuartetDistanceSums(std::size_t taxa, QuartetWeight weight, bool spread = false);

    // Bytes one set of sums over `taxa` taxa takes (saturating).
    static std::size_t bytes_for(std::size_t taxa);

    // One quartet: its four taxa (distinct indexes below taxa()) and the counts of its
    // topologies t1t2|t3t4, t1t3|t2t4 and t1t4|t2t3.
    // topologies t1t2|t3t4, t1t3|t2t4 and t1t4|t2t3; `unresolved`, the trees holding it that
    // resolve none of them, counts only when spread.
    void add(std::span<const std::uint32_t, 4> taxa, std::span<const std::uint64_t, 3> counts,
             std::uint64_t unresolved = 0);
    // The same of a species quartet's shares of trees (which may be fractional), by the same
    // rules: ties are equal shares, and the length is that of the shares' concordance.
    void add(std::span<const std::uint32_t, 4> taxa, std::span<const double, 3> shares,
             double unresolved = 0.0);
    // Every row of a quartet table's block.
    void add(const TableBlock& block);
    void merge(const QuartetDistanceSums& other);

    // Pairs i < j of `taxa` taxa: the entries of the exact form below.
    static std::size_t pair_count(std::size_t taxa);
    // The sums as whole numbers, to be added up where they were not counted (on another
    // machine): for each pair i < j, row by row, 16 bytes of `sums` (the sum as an unsigned
    // integer, least significant byte first, whatever the machine's byte order) and one byte
    // of `met` (1 when the pair met, else 0); pair_count(taxa()) entries in each.
    void write_exact(std::span<std::uint8_t> sums, std::span<std::uint8_t> met) const;
    // Adds what write_exact wrote of other sums of the same taxa and weight, with their counts
    // of quartets; nullopt when added. Bytes from elsewhere may be anything: entries of the
    // wrong size, a `met` byte other than 0 or 1, more unresolved quartets than quartets or a
    // total beyond what the sums hold add nothing, and the reason is returned.
    std::optional<std::string> add_exact(std::span<const std::uint8_t> sums, std::span<const std::uint8_t> met,
                   std::uint64_t quartets, std::uint64_t unresolved);

    std::size_t taxa() const { return taxa_; }
    QuartetWeight weight() const { return weight_; }
    // The distance of taxa i and j: six times the votes (QDC) or the summed lengths (WQDC);
    // 0 for i == j.
    double distance(std::size_t i, std::size_t j) const;
    // Every distance, row by row (taxa() * taxa() values, symmetric).
    std::vector<double> matrix() const;
    // Whether some quartet holding both i and j (i != j) is resolved by some tree; their
    // distance means nothing otherwise.
    bool met(std::size_t i, std::size_t j) const;
    std::uint64_t quartets() const { return quartets_; }
    std::uint64_t unresolved_quartets() const { return unresolved_; }

  private:
    __extension__ using Sum = __int128;
    std::size_t at(std::size_t i, std::size_t j) const { return i < j ? i * taxa_ + j : j * taxa_ + i; }

    std::size_t taxa_;
    QuartetWeight weight_;
    std::vector<Sum> sums_;            // pair (i, j), i < j, at i * taxa_ + j
    std::vector<std::uint8_t> met_;    // likewise
    std::uint64_t quartets_ = 0;
    std::uint64_t unresolved_ = 0;
    bool spread_;
};

// The sums of every quartet of a table's taxa, counted on threads: each thread counts one
// block at a time and adds it to sums of its own, which are merged at the end; no block is
// kept once added.
class QuartetDistanceRun {
  public:
    // Bytes the run needs besides the table: the sums of each thread and their merge.
    static std::size_t bytes_needed(std::size_t taxa, std::size_t threads);

    // Starts counting `table` (quartets; it must outlive the run) on `threads` threads.
    QuartetDistanceRun(const TopologyTable& table, QuartetWeight weight, std::size_t threads,
                       bool spread = false);
    // Only blocks first_block .. end_block-1 of the table (end_block <= block_count()), so that
    // several machines can each count a run of the same table and add up their sums.
    QuartetDistanceRun(const TopologyTable& table, QuartetWeight weight, std::size_t threads,
                       std::size_t first_block, std::size_t end_block, bool spread = false);
    QuartetDistanceRun(const QuartetDistanceRun&) = delete;
    QuartetDistanceRun& operator=(const QuartetDistanceRun&) = delete;
    ~QuartetDistanceRun();

    // Waits up to `timeout` for the next block; the rows it added, or nullopt when none was
    // ready or every block is done (finished()). A thread's failure is raised here.
    std::optional<std::size_t> next(std::chrono::milliseconds timeout);
    bool finished() const;
    // The merged sums, once finished().
    QuartetDistanceSums result() const;

  private:
    std::size_t taxa_;
    QuartetWeight weight_;
    bool spread_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<QuartetDistanceSums>> sums_;  // every thread's, made as needed
    std::vector<QuartetDistanceSums*> idle_;                  // those no thread adds to now
    // Last, so that its threads stop before the sums they add to go.
    std::unique_ptr<OrderedBlocks<std::size_t>> blocks_;
};

// Whole-table convenience for callers that need not poll: every block, on `threads` threads.
QuartetDistanceSums quartet_distance_sums(const TopologyTable& table, QuartetWeight weight,
                                          std::size_t threads, const InterruptCheck& interrupt = {},
                                          bool spread = false);

}  // namespace treetally
