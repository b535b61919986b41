// Times the all-quartet and all-quintet tables of the plain C++ core at each kernel width the
// processor runs, on one thread and on several, against the one-tuple sweep they replace.
// Prints one JSON object per line.
//
//   treetally_table_bench FILE [QUINTET_TAXA=22] [REPEATS=3] [THREADS=2] [WIDTH=all]
//   treetally_table_bench first FILE SIZE       (the wait for the first block of a table over
//                                               every taxon, and the memory it takes)
//
// "build" is a first pass over a fresh table (pair-depth rows built on the way); "count" a
// pass over a table whose rows are built. Times are wall-clock, the fastest of REPEATS runs
// (with TREETALLY_BENCH_CPU_TIME set, one-thread times are the thread's CPU time).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "tables/ordered_blocks.hpp"
#include "tables/topology_table.hpp"

namespace treetally::bench {
namespace {

double now_seconds(bool cpu_time) {
    timespec now{};
    ::clock_gettime(cpu_time ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double best_seconds(int repeats, bool cpu_time, const std::function<void()>& action) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const double start = now_seconds(cpu_time);
        action();
        best = std::min(best, now_seconds(cpu_time) - start);
    }
    return best;
}

// A checksum of every count, so that no pass can be optimised away and widths can be compared.
std::uint64_t count_all(const TopologyTable& table, std::size_t threads) {
    std::uint64_t sum = 0;
    const auto add = [&](const TableBlock& block) {
        // Weighted by topology, so that the sum does not depend on where blocks end.
        for (std::size_t k = 0; k < block.counts.size(); ++k)
            sum += block.counts[k] * (k % block.codes() + 1);
        for (const std::uint64_t h : block.holding) sum += h;
    };
    if (threads <= 1) {
        for (std::size_t b = 0; b < table.block_count(); ++b) add(table.count_block(b));
        return sum;
    }
    OrderedBlocks<TableBlock> run(table.block_count(), threads,
                                  [&](std::size_t b, const InterruptCheck& interrupt) {
                                      return table.count_block(b, interrupt);
                                  });
    while (!run.finished()) {
        if (auto block = run.next(std::chrono::milliseconds(100))) add(*block);
    }
    return sum;
}

void time_table(const TreeSetData& data, std::vector<TaxonId> taxa, int size, int repeats,
                std::size_t threads, double sweep_seconds, std::string_view only) {
    const bool cpu_time = std::getenv("TREETALLY_BENCH_CPU_TIME") != nullptr;
    for (const KernelWidth width :
         {KernelWidth::baseline, KernelWidth::avx2, KernelWidth::avx512}) {
        if (!kernel_width_supported(width)) continue;
        if (only != "all" && only != kernel_width_name(width)) continue;
        force_kernel_width(width);
        const std::size_t budget = std::size_t{1} << 40;
        std::uint64_t checksum = 0;
        const double build = best_seconds(repeats, cpu_time, [&] {
            const TopologyTable fresh(data, taxa, size, budget);
            checksum = count_all(fresh, 1);
        });
        const TopologyTable table(data, taxa, size, budget);
        count_all(table, 1);
        const double one = best_seconds(repeats, cpu_time, [&] { count_all(table, 1); });
        const double many = best_seconds(repeats, false, [&] { count_all(table, threads); });
        const double rows = static_cast<double>(table.row_count());
        // The longest stretch of a fresh table's first block without asking the interrupt:
        // what a cancel may wait for.
        double longest_gap = 0.0;
        {
            const TopologyTable fresh(data, taxa, size, budget);
            double last = now_seconds(false);
            const InterruptCheck interrupt([&] {
                const double now = now_seconds(false);
                longest_gap = std::max(longest_gap, now - last);
                last = now;
            });
            fresh.count_block(0, interrupt);
        }
        std::printf(
            "{\"size\": %d, \"taxa\": %zu, \"trees\": %zu, \"rows\": %.0f, \"width\": \"%s\", "
            "\"depth_bytes\": %zu, \"build_s\": %.4f, \"count_1_thread_s\": %.4f, "
            "\"count_%zu_threads_s\": %.4f, \"speedup\": %.2f, \"ns_per_row\": %.1f, "
            "\"sweep_ratio\": %.0f, \"longest_interrupt_gap_ms\": %.2f, \"rows_bytes\": %zu, "
            "\"checksum\": %llu}\n",
            size, taxa.size(), data.tree_count(), rows,
            std::string(kernel_width_name(width)).c_str(), table.depth_bytes(), build, one, threads,
            many, one / many, 1e9 * one / rows, sweep_seconds / (one / rows), 1e3 * longest_gap,
            table.peak_bytes(), static_cast<unsigned long long>(checksum));
        std::fflush(stdout);
    }
    force_kernel_width(std::nullopt);
}

// Seconds one tally_single_quintet (or quartet) takes, averaged over some tuples of the taxa.
double sweep_seconds(const TreeSetData& data, const std::vector<TaxonId>& taxa, int size) {
    const auto& names = data.taxon_set.taxon_names();
    const auto name = [&](std::size_t k) -> std::string_view { return names[taxa[k].index()]; };
    const int tuples = 200;
    std::uint64_t sink = 0;
    const double seconds = best_seconds(3, false, [&] {
        for (int t = 0; t < tuples; ++t) {
            const std::size_t k = static_cast<std::size_t>(t) % (taxa.size() - 5);
            if (size == 5) {
                sink += tally_single_quintet(
                    data, {name(k), name(k + 1), name(k + 2), name(k + 3), name(k + 4)})[0];
            } else {
                sink +=
                    tally_single_quartet(data, {name(k), name(k + 1), name(k + 2), name(k + 3)})[0];
            }
        }
    });
    if (sink == 1) std::printf("\n");
    return seconds / tuples;
}

// How long a table over every taxon of the file takes to give its first block.
int time_first_block(const char* path, int size) {
    const TreeSetData data = load_tree_set_data(path);
    std::vector<TaxonId> taxa(data.taxon_set.size());
    for (std::size_t k = 0; k < taxa.size(); ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
    const double start = now_seconds(false);
    // Counted on every core, as the benchmark's figures on every core compare with.
    const TopologyTable table(data, taxa, size, std::numeric_limits<std::size_t>::max(), 0,
                              core_count());
    const double made = now_seconds(false);
    const TableBlock block = table.count_block(0);
    const double counted = now_seconds(false);
    std::printf(
        "{\"size\": %d, \"taxa\": %zu, \"trees\": %zu, \"rows\": %llu, \"blocks\": %zu, "
        "\"bytes_needed\": %zu, \"construct_s\": %.4f, \"first_block_s\": %.4f, "
        "\"first_block_rows\": %zu, \"bytes_held\": %zu}\n",
        size, taxa.size(), data.tree_count(), static_cast<unsigned long long>(table.row_count()),
        table.block_count(), table.bytes_needed(), made - start, counted - made, block.rows,
        table.peak_bytes());
    return 0;
}

int run(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == "first")
        return time_first_block(argv[2], std::stoi(argv[3]));
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: %s FILE [QUINTET_TAXA=22] [REPEATS=3] [THREADS=2] [WIDTH=all]\n",
                     argv[0]);
        return 2;
    }
    const std::size_t quintet_taxa = argc > 2 ? std::stoul(argv[2]) : 22;
    const int repeats = argc > 3 ? std::stoi(argv[3]) : 3;
    const std::size_t threads = argc > 4 ? std::stoul(argv[4]) : 2;
    const std::string_view only = argc > 5 ? argv[5] : "all";
    const TreeSetData data = load_tree_set_data(argv[1]);
    std::vector<TaxonId> taxa(data.taxon_set.size());
    for (std::size_t k = 0; k < taxa.size(); ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
    time_table(data, taxa, 4, repeats, threads, sweep_seconds(data, taxa, 4), only);
    taxa.resize(std::min(quintet_taxa, taxa.size()));
    time_table(data, taxa, 5, repeats, threads, sweep_seconds(data, taxa, 5), only);
    return 0;
}

}  // namespace
}  // namespace treetally::bench

int main(int argc, char** argv) {
    return treetally::bench::run(argc, argv);
}
