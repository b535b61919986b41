#include "sets/tree_set_sweeps.hpp"

#include <algorithm>

#include "sets/labelled_tallies.hpp"

namespace treetally {

namespace {

template <std::size_t Codes>
std::array<std::uint64_t, Codes> counts_of(const LabelledTally& tally) {
    std::array<std::uint64_t, Codes> counts{};
    std::copy_n(tally.counts.begin(), Codes, counts.begin());
    return counts;
}

}  // namespace

// The sweeps are those of the labelled tallies, so that the engine's tallies and time tables
// are these very values.
QuintetTally tally_single_quintet(const TreeSetData& data, const QuintetNames& names) {
    const auto ids = taxon_ids_of(data.taxon_set, names);
    return counts_of<quintet_type_count>(labelled_tally(data, ids));
}

QuartetTally tally_single_quartet(const TreeSetData& data, const QuartetNames& names) {
    const auto ids = taxon_ids_of(data.taxon_set, names);
    return counts_of<quartet_type_count>(labelled_tally(data, ids));
}

TimeTable coalescence_times_by_topology(const TreeSetData& data, const QuintetNames& names) {
    const TopologyPathSums sums = quintet_path_sums(data, taxon_ids_of(data.taxon_set, names));
    return normalised_time_table(sums.quintet_counts, sums.pair_length_sums);
}

}  // namespace treetally
