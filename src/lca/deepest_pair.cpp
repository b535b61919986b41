#include "lca/deepest_pair.hpp"

namespace treetally {

PairLca pair_lca(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                 std::uint8_t second) {
    const EulerPos ancestor = lca.lca_position(a, b);
    return PairLca{ancestor, first, second, lca.depth_at(ancestor)};
}

}  // namespace treetally
