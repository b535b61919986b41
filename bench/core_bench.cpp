// Measures the plain C++ core without the interpreter: load stages against the read-and-count
// floor, where the bytes of a loaded set go, sweep cost per tree, and a digest of everything
// built so that an optimisation can be checked to change no bit. Prints one JSON object.
//
//   treetally_core_bench load   FILE [REPEATS]
//   treetally_core_bench first  FILE
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
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal_error.hpp"
#include "colliding_names.hpp"
#include "sets/single_tree_queries.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"
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

// Bytes of a loaded set by where they live, and of the trees, which only the load holds.
struct MemoryBreakdown {
    std::size_t trees_while_loading = 0;  // the per-node arrays and the Tree objects
    std::size_t taxon_positions = 0;
    std::size_t table = 0;
    std::size_t tour = 0;
    std::size_t distances = 0;
    std::size_t index_objects = 0;
    std::size_t index_total = 0;
    std::size_t names = 0;
};

MemoryBreakdown memory_breakdown(const TreeCollection& collection, const TreeSetData& data) {
    MemoryBreakdown out;
    for (const Tree& tree : collection.trees) out.trees_while_loading += tree.heap_bytes();
    out.trees_while_loading += collection.trees.capacity() * sizeof(Tree);
    for (const TreeLca& lca : data.lcas) {
        const TreeLca::PartBytes parts = lca.part_bytes();
        out.taxon_positions += parts.taxon_positions;
        out.table += parts.table;
        out.tour += parts.tour;
        out.distances += parts.distances;
        out.index_total += lca.heap_bytes();
    }
    out.index_objects = data.lcas.capacity() * sizeof(TreeLca);
    out.names = data.taxon_set.heap_bytes();
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
    const MemoryBreakdown memory = memory_breakdown(collection, data);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf(
        "{\"file\": \"%s\", \"bytes\": %zu, \"lines\": %zu, \"trees\": %zu, \"taxa\": %zu,\n"
        " \"floor_s\": %.6f, \"parse_s\": %.6f, \"index_s\": %.6f, \"load_s\": %.6f,\n"
        " \"floor_mb_s\": %.1f, \"parse_mb_s\": %.1f, \"load_mb_s\": %.1f,\n"
        " \"memory\": {\"trees_while_loading\": %zu, \"taxon_positions\": %zu, \"table\": %zu,"
        " \"tour\": %zu, \"distances\": %zu, \"index_objects\": %zu, \"index_total\": %zu,"
        " \"names\": %zu},\n"
        " \"peak_rss_growth_kib\": %ld}\n",
        path.c_str(), bytes, lines, collection.trees.size(), collection.taxon_set.size(), floor_s,
        parse_s, index_s, total_s, mb / floor_s, mb / parse_s, mb / total_s,
        memory.trees_while_loading, memory.taxon_positions, memory.table, memory.tour,
        memory.distances, memory.index_objects, memory.index_total, memory.names,
        rss_after - rss_before);
}

long minor_page_faults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// One load in this fresh process, as a first load from Python meets it: every page is new.
void print_first_load(const std::string& path) {
    const long faults_before = minor_page_faults();
    const double start = now_seconds();
    const TreeSetData data = load_tree_set_data(path);
    const double seconds = now_seconds() - start;
    std::printf(
        "{\"file\": \"%s\", \"trees\": %zu, \"first_load_s\": %.6f, \"page_faults\": %ld}\n",
        path.c_str(), data.tree_count(), seconds, minor_page_faults() - faults_before);
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
    // The single-tree queries, asked of every tree in turn.
    auto each_tree = [&](const auto& query) {
        return best_seconds(repeats, [&] {
            for (std::uint64_t tree = 0; tree < data.tree_count(); ++tree) query(tree);
        });
    };
    const double single_quintet_s = each_tree(
        [&](std::uint64_t tree) { sink += tree_quintet_type(data, tree, names).value_or(0); });
    const double single_quartet_s = each_tree(
        [&](std::uint64_t tree) { sink += tree_quartet_type(data, tree, quartet).value_or(0); });
    const double single_distances_s = each_tree([&](std::uint64_t tree) {
        if (const auto distances = tree_pairwise_distances(data, tree, names))
            sink_time += (*distances)[0];
    });
    std::printf(
        "{\"file\": \"%s\", \"trees\": %zu, \"quintet_ns\": %.1f, \"quartet_ns\": %.1f,"
        " \"times_ns\": %.1f, \"single_quintet_ns\": %.1f, \"single_quartet_ns\": %.1f,"
        " \"single_distances_ns\": %.1f, \"sink\": %.3f}\n",
        path.c_str(), data.tree_count(), quintet_s * 1e9 / trees, quartet_s * 1e9 / trees,
        times_s * 1e9 / trees, single_quintet_s * 1e9 / trees, single_quartet_s * 1e9 / trees,
        single_distances_s * 1e9 / trees, static_cast<double>(sink) + sink_time);
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

// Every value the index's interface returns for one tree: the position of each taxon, the
// node, depth and distance at each position, each entry of the range-minimum table, and the
// LCA of every pair of the tree's taxa (of a fixed sample of them in trees with more than 512)
// and of a fixed sample of pairs of table columns. Stays the same whatever the storage.
void add_index_answers(const TreeLca& lca, Digest& digest) {
    for (const std::size_t size :
         {lca.taxon_count(), lca.tour_length(), lca.column_count(), lca.level_count()})
        digest.add_value(std::uint64_t{size});
    std::vector<EulerPos> leaves;
    for (std::size_t taxon = 0; taxon < lca.taxon_count(); ++taxon) {
        const EulerPos p = lca.taxon_position(TaxonId{static_cast<std::uint32_t>(taxon)});
        digest.add_value(p);
        if (!p.is_absent()) leaves.push_back(p);
    }
    for (std::uint32_t p = 0; p < lca.tour_length(); ++p) {
        digest.add_value(lca.node_at(EulerPos{p}));
        digest.add_value(lca.depth_at(EulerPos{p}));
        digest.add_value(lca.distance_at(EulerPos{p}));
    }
    for (std::size_t column = 0; column < lca.column_count(); ++column) {
        for (std::size_t level = 0; level < lca.level_count(); ++level)
            digest.add_value(lca.range_min_entry(level, column));
    }
    constexpr std::size_t all_pairs_limit = 512;
    constexpr std::size_t sampled_pairs = 20000;
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;  // a fixed xorshift sequence
    auto next = [&state](std::size_t bound) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::size_t>(state % bound);
    };
    auto add_lca = [&](EulerPos a, EulerPos b) { digest.add_value(lca.lca_position(a, b)); };
    if (leaves.size() <= all_pairs_limit) {
        for (std::size_t i = 0; i < leaves.size(); ++i)
            for (std::size_t j = 0; j < leaves.size(); ++j) add_lca(leaves[i], leaves[j]);
    } else {
        for (std::size_t k = 0; k < sampled_pairs; ++k)
            add_lca(leaves[next(leaves.size())], leaves[next(leaves.size())]);
    }
    const std::size_t columns = lca.column_count();
    for (std::size_t k = 0; k < std::min(sampled_pairs, columns * columns); ++k) {
        add_lca(EulerPos{static_cast<std::uint32_t>(next(columns))},
                EulerPos{static_cast<std::uint32_t>(next(columns))});
    }
}

// Every NaN counts as the same: IEEE 754 leaves open which NaN an operation on two NaNs
// passes on, so the compiler's operand order decides the sign of a NaN answer.
void add_double(Digest& digest, double value) {
    digest.add_value(std::isnan(value) ? std::numeric_limits<double>::quiet_NaN() : value);
}

// The quintets the answers are asked for when none is given: the first five taxa in order and
// the last five in reverse order.
std::vector<QuintetNames> default_quintets(const TaxonSet& taxa) {
    const auto& all = taxa.taxon_names();
    if (all.size() < 5) return {};
    const std::size_t n = all.size();
    return {{all[0], all[1], all[2], all[3], all[4]},
            {all[n - 1], all[n - 2], all[n - 3], all[n - 4], all[n - 5]}};
}

void add_sweep_answers(const TreeSetData& data, const QuintetNames& quintet, Digest& digest) {
    const QuartetNames quartet{quintet[0], quintet[1], quintet[2], quintet[3]};
    digest.add(std::span<const std::uint64_t>(tally_single_quintet(data, quintet)));
    digest.add(std::span<const std::uint64_t>(tally_single_quartet(data, quartet)));
    for (double value : coalescence_times_by_topology(data, quintet)) add_double(digest, value);
}

// The answers of the three queries of every single tree; an absent answer hashes as a marker.
void add_single_tree_answers(const TreeSetData& data, const QuintetNames& quintet, Digest& digest) {
    const QuartetNames quartet{quintet[0], quintet[1], quintet[2], quintet[3]};
    constexpr std::uint16_t absent = 0xffff;
    for (std::uint64_t tree = 0; tree < data.tree_count(); ++tree) {
        const auto quintet_code = tree_quintet_type(data, tree, quintet);
        const auto quartet_code = tree_quartet_type(data, tree, quartet);
        digest.add_value(quintet_code ? std::uint16_t{*quintet_code} : absent);
        digest.add_value(quartet_code ? std::uint16_t{*quartet_code} : absent);
        if (const auto distances = tree_pairwise_distances(data, tree, quintet)) {
            for (double value : *distances) add_double(digest, value);
        } else {
            digest.add_value(absent);
        }
    }
}

void print_digest(const std::string& path, const QuintetNames* names) {
    // The trees as the loader reads them; the set below keeps only what its queries read.
    const TreeCollection collection = load_or_fail(path);
    Digest trees;
    for (const std::string& name : collection.taxon_set.taxon_names()) {
        trees.add(std::span<const char>(name.data(), name.size()));
        trees.add_value(collection.taxon_set.id_of(name));
    }
    for (const Tree& tree : collection.trees) {
        trees.add(tree.node_taxons());
        trees.add(tree.parents());
        trees.add(tree.branch_lengths());
        trees.add(tree.first_children());
        trees.add(tree.next_siblings());
        trees.add(tree.child_counts());
        trees.add_value(tree.root_is_bifurcating());
    }
    const TreeSetData data = load_tree_set_data(path);
    Digest indexes;
    indexes.add_value(std::uint64_t{data.tree_count()});
    for (const TreeLca& lca : data.lcas) add_index_answers(lca, indexes);
    const std::vector<QuintetNames> quintets =
        names != nullptr ? std::vector<QuintetNames>{*names} : default_quintets(data.taxon_set);
    Digest sweeps;
    Digest single_trees;
    for (const QuintetNames& quintet : quintets) {
        add_sweep_answers(data, quintet, sweeps);
        add_single_tree_answers(data, quintet, single_trees);
    }
    std::printf(
        "{\"trees\": \"%016llx\", \"indexes\": \"%016llx\", \"answers\": \"%016llx\","
        " \"single_trees\": \"%016llx\"}\n",
        static_cast<unsigned long long>(trees.value()),
        static_cast<unsigned long long>(indexes.value()),
        static_cast<unsigned long long>(sweeps.value()),
        static_cast<unsigned long long>(single_trees.value()));
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
            taxa[k] = load_tree_set_data(paths[k]->string()).taxon_set.size();
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
                 "       treetally_core_bench first FILE\n"
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
    } else if (command == "first") {
        print_first_load(path);
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
