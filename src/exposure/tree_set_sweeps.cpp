#include "exposure/tree_set_sweeps.hpp"

namespace treetally {

namespace {

// How many trees ahead a sweep asks for the index it will read: far enough for the memory to
// arrive before it is needed, near enough to stay in cache.
constexpr std::size_t prefetch_distance = 4;

void prefetch_ahead(const TreeSetData& data, std::size_t tree, std::span<const TaxonId> taxa,
                    bool with_distances = false) {
    if (tree + prefetch_distance < data.lcas.size())
        data.lcas[tree + prefetch_distance].prefetch_for_query(taxa, with_distances);
}

// Counts, over every tree holding all the named taxa, the topology code `classify` gives.
template <std::size_t N, std::size_t Codes, typename Classify>
std::array<std::uint64_t, Codes> tally_topologies(const TreeSetData& data,
                                                  const std::array<std::string_view, N>& names,
                                                  Classify classify) {
    std::array<std::uint64_t, Codes> tally{};
    const auto ids = taxon_ids_of(data.taxon_set, names);
    std::array<EulerPos, N> positions;
    for (std::size_t tree = 0; tree < data.lcas.size(); ++tree) {
        prefetch_ahead(data, tree, ids);
        const TreeLca& lca = data.lcas[tree];
        if (!read_positions(lca, ids, positions)) continue;
        if (const auto code = classify(lca, positions)) ++tally[checked_index(*code, Codes)];
    }
    return tally;
}

// Divides each of `values` by their sum, taken in order, when that sum is positive.
void normalise(std::span<double> values) {
    double sum = 0.0;
    for (double value : values) sum += value;
    if (!(sum > 0.0)) return;
    for (double& value : values) value /= sum;
}

}  // namespace

QuintetTally tally_single_quintet(const TreeSetData& data, const QuintetNames& names) {
    return tally_topologies<5, quintet_type_count>(data, names, quintet_type);
}

QuartetTally tally_single_quartet(const TreeSetData& data, const QuartetNames& names) {
    return tally_topologies<4, quartet_type_count>(data, names, quartet_type);
}

TimeTable coalescence_times_by_topology(const TreeSetData& data, const QuintetNames& names) {
    TimeTable table{};
    const auto ids = taxon_ids_of(data.taxon_set, names);
    FivePositions positions;
    PairDistances distances;
    for (std::size_t tree = 0; tree < data.lcas.size(); ++tree) {
        prefetch_ahead(data, tree, ids, /*with_distances=*/true);
        const TreeLca& lca = data.lcas[tree];
        if (!read_positions(lca, ids, positions)) continue;
        // The path lengths of the ten pairs come from the LCAs the classification found.
        const auto code = quintet_type_with_distances(lca, positions, distances);
        if (!code) continue;
        const std::size_t type = checked_index(*code, quintet_type_count);
        table[type] += 1.0;
        double* block = &table[quintet_type_count + pair_count_of_five * type];
        for (std::size_t p = 0; p < pair_count_of_five; ++p) block[p] += distances[p];
    }
    normalise(std::span(table).first(quintet_type_count));
    for (std::size_t type = 0; type < quintet_type_count; ++type) {
        normalise(std::span(table).subspan(quintet_type_count + pair_count_of_five * type,
                                           pair_count_of_five));
    }
    return table;
}

}  // namespace treetally
