#include "lca/pair_distances.hpp"

#include "lca/query_range_check.hpp"

namespace treetally {

double path_distance(const TreeLca& lca, EulerPos a, EulerPos b) {
    const EulerPos ancestor = lca.lca_position(a, b);
    return (lca.distance_at(a) + lca.distance_at(b)) - 2.0 * lca.distance_at(ancestor);
}

PairDistances pairwise_distances(const TreeLca& lca, const FivePositions& positions) {
    // One bounds test for the whole query: every LCA of in-range positions is in range.
    require_positions_in_range(lca, positions);
    return lca.with_fastest_reads([&](const auto& reads) {
        PairLcaPositions pair_lcas;
        std::size_t pair = 0;
        for (std::size_t i = 0; i < positions.size(); ++i) {
            for (std::size_t j = i + 1; j < positions.size(); ++j)
                pair_lcas[pair++] = reads.lca_visit_in_range(positions[i], positions[j]).position;
        }
        return pairwise_distances_of_known_lcas(reads, root_distances_of(reads, positions),
                                                pair_lcas);
    });
}

}  // namespace treetally
