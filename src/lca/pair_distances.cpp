#include "lca/pair_distances.hpp"

namespace treetally {

double path_distance(const TreeLca& lca, EulerPos a, EulerPos b) {
    const EulerPos ancestor = lca.lca_position(a, b);
    return (lca.distance_at(a) + lca.distance_at(b)) - 2.0 * lca.distance_at(ancestor);
}

PairDistances pairwise_distances(const TreeLca& lca, const FivePositions& positions) {
    PairDistances distances;
    std::size_t pair = 0;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        for (std::size_t j = i + 1; j < positions.size(); ++j) {
            distances[pair++] = path_distance(lca, positions[i], positions[j]);
        }
    }
    return distances;
}

}  // namespace treetally
