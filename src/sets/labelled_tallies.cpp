#include "sets/labelled_tallies.hpp"

#include <algorithm>

#include "base/fatal_error.hpp"

namespace treetally {

namespace {

// Trees between two questions to the interrupt check: well under a millisecond of work.
constexpr std::size_t trees_per_check = 4096;

// How many trees ahead a sweep asks for the index it will read: far enough for the memory to
// arrive before it is needed, near enough to stay in cache.
constexpr std::size_t prefetch_distance = 4;

void prefetch_ahead(const TreeSetData& data, std::size_t tree, std::span<const TaxonId> taxa,
                    bool with_distances = false) {
    if (tree + prefetch_distance < data.lcas.size())
        data.lcas[tree + prefetch_distance].prefetch_for_query(taxa, with_distances);
}

template <std::size_t N>
std::array<TaxonId, N> checked_ids(const TreeSetData& data, std::span<const TaxonId> ids) {
    std::array<TaxonId, N> checked;
    for (std::size_t k = 0; k < N; ++k)
        checked[k] = TaxonId{
            static_cast<std::uint32_t>(checked_index(ids[k].index(), data.taxon_set.size()))};
    return checked;
}

// Counts, over every tree holding all of `ids`, the topology code `classify` gives.
template <std::size_t N, std::size_t Codes, typename Classify>
LabelledTally tally_topologies(const TreeSetData& data, std::span<const TaxonId> given,
                               const InterruptCheck& interrupt, Classify classify) {
    const auto ids = checked_ids<N>(data, given);
    std::array<std::uint64_t, Codes> counts{};
    std::uint64_t holding = 0;
    InterruptPacer pacer(interrupt, trees_per_check);
    std::array<EulerPos, N> positions;
    for (std::size_t tree = 0; tree < data.lcas.size(); ++tree) {
        pacer.count(1);
        prefetch_ahead(data, tree, ids);
        const TreeLca& lca = data.lcas[tree];
        if (!read_positions(lca, ids, positions)) continue;
        ++holding;
        if (const auto code = classify(lca, positions)) ++counts[checked_index(*code, Codes)];
    }
    return {std::vector<std::uint64_t>(counts.begin(), counts.end()), holding};
}

// The sums of topology_path_sums, with the quartet half only `with_quartets`.
TopologyPathSums sum_paths(const TreeSetData& data, const std::array<TaxonId, 5>& given,
                           const InterruptCheck& interrupt, bool with_quartets) {
    const auto ids = checked_ids<5>(data, given);
    const std::array<TaxonId, 4> quartet_ids = {ids[0], ids[1], ids[2], ids[3]};
    TopologyPathSums sums;
    InterruptPacer pacer(interrupt, trees_per_check);
    FourPositions quartet;
    FivePositions positions;
    PairDistances distances;
    for (std::size_t tree = 0; tree < data.lcas.size(); ++tree) {
        pacer.count(1);
        prefetch_ahead(data, tree, ids, /*with_distances=*/true);
        const TreeLca& lca = data.lcas[tree];
        if (with_quartets) {
            if (!read_positions(lca, quartet_ids, quartet)) continue;
            ++sums.quartet_holding;
            if (const auto code = quartet_type(lca, quartet))
                ++sums.quartet_counts[checked_index(*code, quartet_type_count)];
            std::copy(quartet.begin(), quartet.end(), positions.begin());
            positions[4] = lca.taxon_position(ids[4]);
            if (positions[4].is_absent()) continue;
        } else if (!read_positions(lca, ids, positions)) {
            continue;
        }
        ++sums.quintet_holding;
        // The path lengths of the ten pairs come from the LCAs the classification found.
        const auto code = quintet_type_with_distances(lca, positions, distances);
        if (!code) continue;
        const std::size_t type = checked_index(*code, quintet_type_count);
        ++sums.quintet_counts[type];
        double* block = &sums.pair_length_sums[pair_count_of_five * type];
        for (std::size_t p = 0; p < pair_count_of_five; ++p) block[p] += distances[p];
    }
    return sums;
}

// Divides each of `values` by their sum, taken in order, when that sum is positive.
void normalise(std::span<double> values) {
    double sum = 0.0;
    for (double value : values) sum += value;
    if (!(sum > 0.0)) return;
    for (double& value : values) value /= sum;
}

}  // namespace

LabelledTally labelled_tally(const TreeSetData& data, std::span<const TaxonId> ids,
                             const InterruptCheck& interrupt) {
    if (ids.size() == 4)
        return tally_topologies<4, quartet_type_count>(data, ids, interrupt, quartet_type);
    if (ids.size() == 5)
        return tally_topologies<5, quintet_type_count>(data, ids, interrupt, quintet_type);
    fail("A topology tally takes four or five taxa");
}

TopologyPathSums topology_path_sums(const TreeSetData& data, const std::array<TaxonId, 5>& ids,
                                    const InterruptCheck& interrupt) {
    return sum_paths(data, ids, interrupt, /*with_quartets=*/true);
}

TopologyPathSums quintet_path_sums(const TreeSetData& data, const std::array<TaxonId, 5>& ids,
                                   const InterruptCheck& interrupt) {
    return sum_paths(data, ids, interrupt, /*with_quartets=*/false);
}

TimeTable normalised_time_table(const QuintetTally& counts, const PathSums& sums) {
    TimeTable table{};
    // Counts below 2^53 convert exactly, so the shares are what adding 1.0 per tree gives.
    std::transform(counts.begin(), counts.end(), table.begin(),
                   [](std::uint64_t count) { return static_cast<double>(count); });
    std::copy(sums.begin(), sums.end(), table.begin() + quintet_type_count);
    normalise(std::span(table).first(quintet_type_count));
    for (std::size_t type = 0; type < quintet_type_count; ++type) {
        normalise(std::span(table).subspan(quintet_type_count + pair_count_of_five * type,
                                           pair_count_of_five));
    }
    return table;
}

}  // namespace treetally
