#include "exposure/single_tree_queries.hpp"

namespace treetally {

namespace {

// The tree's index and the taxa's positions in it, or nullopt when the tree lacks a taxon.
// Names are looked up before the tree id is checked, so an unknown name is reported first.
template <std::size_t N>
std::optional<std::pair<const TreeLca*, std::array<EulerPos, N>>> locate(
    const TreeSetData& data, std::uint64_t tree_id, const std::array<std::string_view, N>& names) {
    const auto ids = taxon_ids_of(data.taxon_set, names);
    const TreeLca& lca = data.lcas[checked_index(tree_id, data.lcas.size())];
    std::array<EulerPos, N> positions;
    if (!read_positions(lca, ids, positions)) return std::nullopt;
    return std::pair{&lca, positions};
}

}  // namespace

std::optional<std::uint8_t> tree_quintet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuintetNames& names) {
    const auto located = locate(data, tree_id, names);
    if (!located) return std::nullopt;
    return quintet_type(*located->first, located->second);
}

std::optional<std::uint8_t> tree_quartet_type(const TreeSetData& data, std::uint64_t tree_id,
                                              const QuartetNames& names) {
    const auto located = locate(data, tree_id, names);
    if (!located) return std::nullopt;
    return quartet_type(*located->first, located->second);
}

std::optional<PairDistances> tree_pairwise_distances(const TreeSetData& data, std::uint64_t tree_id,
                                                     const QuintetNames& names) {
    const auto located = locate(data, tree_id, names);
    if (!located) return std::nullopt;
    return pairwise_distances(*located->first, located->second);
}

}  // namespace treetally
