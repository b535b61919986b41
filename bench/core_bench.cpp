// Measures the plain C++ core without the interpreter: load stages against the read-and-count
// floor, where the bytes of a loaded set go, sweep cost per tree, and a digest of everything
// built so that an optimisation can be checked to change no bit. Prints one JSON object.
//
//   treetally_core_bench load   FILE [REPEATS]
//   treetally_core_bench sweep  FILE REPEATS NAME1 NAME2 NAME3 NAME4 NAME5
//   treetally_core_bench digest FILE [NAME1 .. NAME5]
//   treetally_core_bench names  DIR COUNT [REPEATS]
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "colliding_names.hpp"
#include "exposure/tree_set_data.hpp"
#include "exposure/tree_set_sweeps.hpp"
#include "tree/fatal_error.hpp"
#include "tree/tree_loader.hpp"

namespace treetally::bench {

namespace {

// Wall-clock time by default; with TREETALLY_BENCH_CPU_TIME set, the CPU time of this thread,
// which other work on a shared machine disturbs far less.
double now_seconds() {
    static const bool cpu_time = std::getenv("TREETALLY_BENCH_CPU_TIME") != nullptr;
    timespec now{};
    ::clock_gettime(cpu_time ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Fastest of `repeats` runs of `action`, in seconds: the least disturbed by other work.
double best_seconds(int repeats, const std::function<void()>& action) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const double start = now_seconds();
        action();
        best = std::min(best, now_seconds() - start);
    }
    return best;
}

// The floor any loader pays: read the file through a buffer and count its line feeds.
std::size_t count_lines(const std::string& path, std::size_t& bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("cannot open " + path);
    std::vector<char> buffer(1 << 16);
    std::size_t lines = 0;
    bytes = 0;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got <= 0) break;
        bytes += static_cast<std::size_t>(got);
        lines += static_cast<std::size_t>(std::count(buffer.data(), buffer.data() + got, '\n'));
    }
    ::close(fd);
    return lines;
}

// GCC 12 misreads the inlined destructor of the moved-from variant as freeing a stack object.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfree-nonheap-object"
TreeCollection load_or_fail(const std::string& path) {
    LoadResult loaded = load_tree_collection(path);
    if (auto* error = std::get_if<LoadError>(&loaded)) fail(error->message);
    return std::move(std::get<TreeCollection>(loaded));
}
#pragma GCC diagnostic pop

long peak_resident_kib() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Bytes of a loaded set by where they live; capacities, so spare room shows.
struct MemoryBreakdown {
    std::size_t tree_arrays = 0;
    std::size_t tree_objects = 0;
    std::size_t taxon_positions = 0;
    std::size_t tour = 0;
    std::size_t table = 0;
    std::size_t index_objects = 0;
    std::size_t index_total = 0;
    std::size_t names = 0;
};

MemoryBreakdown memory_breakdown(const TreeSetData& data) {
    MemoryBreakdown out;
    for (const Tree& tree : data.collection.trees) out.tree_arrays += tree.heap_bytes();
    out.tree_objects = data.collection.trees.capacity() * sizeof(Tree);
    for (const TreeLca& lca : data.lcas) {
        out.taxon_positions += lca.taxon_positions().size_bytes();
        out.tour += lca.euler_nodes().size_bytes() + lca.euler_depths().size_bytes() +
                    lca.euler_distances().size_bytes();
        out.table += lca.column_count() * lca.level_count() * sizeof(std::uint32_t);
        out.index_total += lca.heap_bytes();
    }
    out.index_objects = data.lcas.capacity() * sizeof(TreeLca);
    out.names = data.collection.taxon_set.heap_bytes();
    return out;
}

void print_load(const std::string& path, int repeats) {
    std::size_t bytes = 0;
    std::size_t lines = 0;
    const double floor_s = best_seconds(repeats, [&] { lines = count_lines(path, bytes); });
    const double parse_s = best_seconds(repeats, [&] { (void)load_or_fail(path); });
    const long rss_before = peak_resident_kib();
    TreeSetData data;
    const double total_s = best_seconds(repeats, [&] { data = load_tree_set_data(path); });
    const long rss_after = peak_resident_kib();
    const TreeCollection collection = load_or_fail(path);
    const double index_s =
        best_seconds(repeats, [&] { (void)index_tree_collection(load_or_fail(path)); }) - parse_s;
    const MemoryBreakdown memory = memory_breakdown(data);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf(
        "{\"file\": \"%s\", \"bytes\": %zu, \"lines\": %zu, \"trees\": %zu, \"taxa\": %zu,\n"
        " \"floor_s\": %.6f, \"parse_s\": %.6f, \"index_s\": %.6f, \"load_s\": %.6f,\n"
        " \"floor_mb_s\": %.1f, \"parse_mb_s\": %.1f, \"load_mb_s\": %.1f,\n"
        " \"memory\": {\"tree_arrays\": %zu, \"tree_objects\": %zu, \"taxon_positions\": %zu,"
        " \"tour\": %zu, \"table\": %zu, \"index_objects\": %zu, \"index_total\": %zu,"
        " \"names\": %zu},\n"
        " \"peak_rss_growth_kib\": %ld}\n",
        path.c_str(), bytes, lines, collection.trees.size(), collection.taxon_set.size(), floor_s,
        parse_s, index_s, total_s, mb / floor_s, mb / parse_s, mb / total_s, memory.tree_arrays,
        memory.tree_objects, memory.taxon_positions, memory.tour, memory.table,
        memory.index_objects, memory.index_total, memory.names, rss_after - rss_before);
}

QuintetNames quintet_names(char** argv) {
    return {argv[0], argv[1], argv[2], argv[3], argv[4]};
}

void print_sweep(const std::string& path, int repeats, const QuintetNames& names) {
    const TreeSetData data = load_tree_set_data(path);
    const QuartetNames quartet{names[0], names[1], names[2], names[3]};
    const double trees = static_cast<double>(data.tree_count());
    std::uint64_t sink = 0;
    const double quintet_s =
        best_seconds(repeats, [&] { sink += tally_single_quintet(data, names)[0]; });
    const double quartet_s =
        best_seconds(repeats, [&] { sink += tally_single_quartet(data, quartet)[0]; });
    double sink_time = 0.0;
    const double times_s =
        best_seconds(repeats, [&] { sink_time += coalescence_times_by_topology(data, names)[0]; });
    std::printf(
        "{\"file\": \"%s\", \"trees\": %zu, \"quintet_ns\": %.1f, \"quartet_ns\": %.1f,"
        " \"times_ns\": %.1f, \"sink\": %.3f}\n",
        path.c_str(), data.tree_count(), quintet_s * 1e9 / trees, quartet_s * 1e9 / trees,
        times_s * 1e9 / trees, static_cast<double>(sink) + sink_time);
}

// FNV-1a over raw bytes: a fingerprint of the built data, compared before and after a change.
class Digest {
  public:
    template <typename T>
    void add(std::span<const T> values) {
        add_bytes(values.data(), values.size_bytes());
    }
    template <typename T>
    void add_value(const T& value) {
        add_bytes(&value, sizeof value);
    }
    std::uint64_t value() const { return hash_; }

  private:
    void add_bytes(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t k = 0; k < size; ++k) hash_ = (hash_ ^ bytes[k]) * 0x100000001b3ULL;
    }
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

void print_digest(const std::string& path, const QuintetNames* names) {
    const TreeSetData data = load_tree_set_data(path);
    Digest trees;
    Digest indexes;
    for (const std::string& name : data.collection.taxon_set.taxon_names()) {
        trees.add(std::span<const char>(name.data(), name.size()));
        trees.add_value(data.collection.taxon_set.id_of(name));
    }
    for (const Tree& tree : data.collection.trees) {
        trees.add(tree.node_taxons());
        trees.add(tree.parents());
        trees.add(tree.branch_lengths());
        trees.add(tree.first_children());
        trees.add(tree.next_siblings());
        trees.add(tree.child_counts());
        trees.add_value(tree.root_is_bifurcating());
    }
    for (const TreeLca& lca : data.lcas) {
        indexes.add(lca.taxon_positions());
        indexes.add(lca.euler_nodes());
        indexes.add(lca.euler_distances());
        indexes.add(lca.euler_depths());
        for (std::size_t column = 0; column < lca.column_count(); ++column) {
            for (std::size_t level = 0; level < lca.level_count(); ++level) {
                indexes.add_value(lca.range_min_entry(level, column));
            }
        }
    }
    std::printf("{\"trees\": \"%016llx\", \"indexes\": \"%016llx\"",
                static_cast<unsigned long long>(trees.value()),
                static_cast<unsigned long long>(indexes.value()));
    // Without names: the first five taxa in order and the last five in reverse order.
    std::vector<QuintetNames> quintets;
    const auto& all = data.collection.taxon_set.taxon_names();
    if (names != nullptr) {
        quintets.push_back(*names);
    } else if (all.size() >= 5) {
        quintets.push_back({all[0], all[1], all[2], all[3], all[4]});
        const std::size_t n = all.size();
        quintets.push_back({all[n - 1], all[n - 2], all[n - 3], all[n - 4], all[n - 5]});
    }
    Digest answers;
    for (const QuintetNames& quintet : quintets) {
        const QuartetNames quartet{quintet[0], quintet[1], quintet[2], quintet[3]};
        const auto quintet_tally = tally_single_quintet(data, quintet);
        const auto quartet_tally = tally_single_quartet(data, quartet);
        const auto times = coalescence_times_by_topology(data, quintet);
        answers.add(std::span<const std::uint64_t>(quintet_tally));
        answers.add(std::span<const std::uint64_t>(quartet_tally));
        // IEEE 754 leaves open which NaN an operation on two NaNs passes on, so the compiler's
        // operand order decides the sign of a NaN answer: every NaN counts as the same here.
        for (double value : times) answers.add_value(std::isnan(value) ? 0.0 / 0.0 : value);
    }
    std::printf(", \"answers\": \"%016llx\"", static_cast<unsigned long long>(answers.value()));
    std::printf("}\n");
}

// `count` random eight-byte names of the bytes the crafted names use.
std::vector<std::string> random_plain_names(std::size_t count) {
    std::string alphabet;
    for (int byte = 0; byte < 256; ++byte)
        if (test::is_plain_label_byte(static_cast<unsigned char>(byte)))
            alphabet.push_back(static_cast<char>(byte));
    std::uint64_t state = 0x243f6a8885a308d3ULL;
    std::vector<std::string> names(count, std::string(8, ' '));
    for (std::string& name : names) {
        for (char& byte : name) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;  // Knuth's LCG
            byte = alphabet[(state >> 33) % alphabet.size()];
        }
    }
    return names;
}

// Writes one tree whose leaves are `names` to `path`: "(a,b,...);".
void write_star_tree(const std::filesystem::path& path, const std::vector<std::string>& names) {
    std::string text = "(";
    for (const std::string& name : names) text += name + ",";
    text.back() = ')';
    text += ";\n";
    std::ofstream(path, std::ios::binary) << text;
}

// Loads of one tree of `count` names crafted to collide in the former name hash against one of
// as many random names of the same length, both written to `dir` (kept, to time elsewhere too).
void print_names(const std::filesystem::path& dir, std::size_t count, int repeats) {
    std::filesystem::create_directories(dir);
    const double craft_start = now_seconds();
    const std::vector<std::string> crafted = test::names_colliding_in_former_hash(count);
    const double craft_s = now_seconds() - craft_start;
    const std::filesystem::path crafted_path = dir / ("crafted-" + std::to_string(count) + ".tre");
    const std::filesystem::path random_path = dir / ("random-" + std::to_string(count) + ".tre");
    write_star_tree(crafted_path, crafted);
    write_star_tree(random_path, random_plain_names(count));
    std::size_t taxa[2] = {0, 0};
    double seconds[2] = {0, 0};
    const std::filesystem::path* paths[2] = {&random_path, &crafted_path};
    for (int k = 0; k < 2; ++k) {
        seconds[k] = best_seconds(repeats, [&] {
            taxa[k] = load_tree_set_data(paths[k]->string()).collection.taxon_set.size();
        });
    }
    std::printf(
        "{\"names\": %zu, \"bytes\": %ju, \"crafting_s\": %.3f,\n"
        " \"random_taxa\": %zu, \"crafted_taxa\": %zu,\n"
        " \"random_load_s\": %.6f, \"crafted_load_s\": %.6f, \"crafted_over_random\": %.2f}\n",
        count, static_cast<std::uintmax_t>(std::filesystem::file_size(crafted_path)), craft_s,
        taxa[0], taxa[1], seconds[0], seconds[1], seconds[1] / seconds[0]);
}

int usage() {
    std::fprintf(stderr,
                 "usage: treetally_core_bench load FILE [REPEATS]\n"
                 "       treetally_core_bench sweep FILE REPEATS NAME1 .. NAME5\n"
                 "       treetally_core_bench digest FILE [NAME1 .. NAME5]\n"
                 "       treetally_core_bench names DIR COUNT [REPEATS]\n");
    return 2;
}

int run(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string command = argv[1];
    const std::string path = argv[2];
    if (command == "load") {
        print_load(path, argc > 3 ? std::atoi(argv[3]) : 3);
    } else if (command == "sweep" && argc == 9) {
        print_sweep(path, std::atoi(argv[3]), quintet_names(argv + 4));
    } else if (command == "digest" && (argc == 3 || argc == 8)) {
        const QuintetNames names = argc == 8 ? quintet_names(argv + 3) : QuintetNames{};
        print_digest(path, argc == 8 ? &names : nullptr);
    } else if (command == "names" && (argc == 4 || argc == 5)) {
        print_names(path, std::strtoull(argv[3], nullptr, 10), argc == 5 ? std::atoi(argv[4]) : 3);
    } else {
        return usage();
    }
    return 0;
}

}  // namespace

}  // namespace treetally::bench

int main(int argc, char** argv) {
    try {
        return treetally::bench::run(argc, argv);
    } catch (const treetally::FatalError& error) {
        std::fprintf(stderr, "fatal error: %s\n", error.what());
        return 1;
    }
}
