// The intertaxon distances NANUQ and TINNiK build networks and trees of blobs from: every
// quartet is classed by its tests (quartet_classes.hpp) and adds its quartet distance rho to
// its six pairs; the distance of taxa x != y is
//     d(x, y) = 2 * (sum of rho over the quartets holding x and y) + 2n - 4,
// n taxa, so that every taxon keeps a leaf edge and halves become whole numbers.
//
// Sums are whole numbers (twelfths of a unit), so that adding in any order, on any number of
// threads, gives the same distances to the bit.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "networks/quartet_classes.hpp"
#include "tables/ordered_blocks.hpp"
#include "tables/table_block.hpp"
#include "tables/topology_table.hpp"

namespace treetally {

struct NetworkLevels {
    NetworkMethod method;
    double alpha;  // level of the T3 test
    double beta;   // level of the star test
    bool spread;   // unresolved trees count a third for each topology
    TreeTest test = TreeTest::t3;  // TINNiK's tree test: T3 or cut
};

class BlobQuartets;

// Sums of one or more quartets' additions, for every pair of `taxa` taxa, and the count of
// quartets of each class.
class NetworkDistanceSums {
  public:
    NetworkDistanceSums(std::size_t taxa, const NetworkLevels& levels);

    // Bytes one set of sums over `taxa` taxa takes (saturating).
    static std::size_t bytes_for(std::size_t taxa);

    // One quartet: its four taxa (distinct indexes below taxa()), the counts of t1t2|t3t4,
    // t1t3|t2t4 and t1t4|t2t3, and the trees holding it that resolve none of them.
    void add(std::span<const std::uint32_t, 4> taxa, std::span<const std::uint64_t, 3> counts,
             std::uint64_t unresolved = 0);
    // The same of a species quartet's shares of trees (quartet_classes.hpp).
    void add(std::span<const std::uint32_t, 4> taxa, std::span<const double, 3> shares, double unresolved);
    // Every row of a quartet table's block (counts, or a table of species' shares).
    void add(const TableBlock& block);
    // One quartet already classed: its class's addition (`topologies` as quartet_additions
    // takes them); an `inferred` B-quartet adds what a B-quartet adds and is counted apart.
    void add(std::span<const std::uint32_t, 4> taxa, QuartetClass kind, std::uint8_t topologies,
             bool inferred = false);
    void merge(const NetworkDistanceSums& other);

    std::size_t taxa() const { return taxa_; }
    // d(i, j) as above; 0 for i == j.
    double distance(std::size_t i, std::size_t j) const;
    // Every distance, row by row (taxa() * taxa() values, symmetric).
    std::vector<double> matrix() const;
    // Quartets added of each class, indexed by QuartetClass.
    const std::array<std::uint64_t, quartet_class_count>& classes() const { return classes_; }
    // B-quartets TINNiK's rules inferred (not counted in classes()).
    std::uint64_t inferred() const { return inferred_; }

  private:
    std::size_t at(std::size_t i, std::size_t j) const { return i < j ? i * taxa_ + j : j * taxa_ + i; }

    std::size_t taxa_;
    NetworkLevels levels_;
    std::vector<std::int64_t> sums_;  // pair (i, j), i < j, at i * taxa_ + j, in twelfths
    std::array<std::uint64_t, quartet_class_count> classes_{};
    std::uint64_t inferred_ = 0;
};

// The sums of every quartet of a table's taxa, counted on threads: each thread counts one
// block at a time and adds it to sums of its own, merged at the end; no block is kept. TINNiK
// keeps each quartet's class instead (a byte), infers B-quartets once every block is counted,
// and sums from the classes.
class NetworkDistanceRun {
  public:
    // Bytes the run needs besides the table: the sums of each thread, their merge, the
    // distances as doubles twice (the matrix and its caller's copy) and TINNiK's classes.
    static std::size_t bytes_needed(std::size_t taxa, std::size_t threads,
                                    NetworkMethod method = NetworkMethod::nanuq);

    // Starts counting `table` (quartets; it must outlive the run) on `threads` threads.
    NetworkDistanceRun(const TopologyTable& table, const NetworkLevels& levels, std::size_t threads);
    NetworkDistanceRun(const NetworkDistanceRun&) = delete;
    NetworkDistanceRun& operator=(const NetworkDistanceRun&) = delete;
    ~NetworkDistanceRun();

    // Waits up to `timeout` for the next block; the rows it added, or nullopt when none was
    // ready or every block is done. A thread's failure is raised here.
    std::optional<std::size_t> next(std::chrono::milliseconds timeout);
    bool finished() const;
    // The merged sums, once finished(); TINNiK's B-quartets are inferred on the first call,
    // which asks `interrupt` now and then.
    NetworkDistanceSums result(const InterruptCheck& interrupt = {});

  private:
    std::size_t taxa_;
    NetworkLevels levels_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<NetworkDistanceSums>> sums_;  // every thread's, made as needed
    std::vector<NetworkDistanceSums*> idle_;                  // those no thread adds to now
    std::unique_ptr<BlobQuartets> blobs_;                     // TINNiK's classes
    // Last, so that its threads stop before the sums they add to go.
    std::unique_ptr<OrderedBlocks<std::size_t>> blocks_;
};

// Whole-table convenience for callers that need not poll.
NetworkDistanceSums network_distance_sums(const TopologyTable& table, const NetworkLevels& levels,
                                          std::size_t threads, const InterruptCheck& interrupt = {});

}  // namespace treetally
