#include "sets/single_tree_queries.hpp"

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

TreeNodes tree_nodes(const TreeSetData& data, std::uint64_t tree_id) {
    const TreeLca& lca = data.lcas[checked_index(tree_id, data.lcas.size())];
    const std::size_t tour_length = lca.tour_length();
    // Each node id's place in the result; the tour holds two entries per node.
    std::vector<std::int64_t> place(tour_length / 2, -1);
    TreeNodes nodes;
    nodes.parents.push_back(-1);
    nodes.lengths.push_back(0.0);
    nodes.taxa.push_back(-1);
    place[0] = 0;
    // A step one level deeper arrives at a child of the node before it, for the first time.
    for (std::size_t p = 1; p < tour_length; ++p) {
        const EulerPos here{static_cast<std::uint32_t>(p)};
        const EulerPos before{static_cast<std::uint32_t>(p - 1)};
        if (lca.depth_at(here) != lca.depth_at(before) + 1) continue;
        place[checked_index(lca.node_at(here).index(), place.size())] =
            static_cast<std::int64_t>(nodes.parents.size());
        nodes.parents.push_back(place[lca.node_at(before).index()]);
        nodes.lengths.push_back(lca.distance_at(here) - lca.distance_at(before));
        nodes.taxa.push_back(-1);
    }
    for (std::size_t taxon = 0; taxon < data.taxon_set.size(); ++taxon) {
        const EulerPos position = lca.taxon_position(TaxonId{static_cast<std::uint32_t>(taxon)});
        if (position.is_absent()) continue;
        const auto at = place[lca.node_at(position).index()];
        nodes.taxa[static_cast<std::size_t>(at)] = static_cast<std::int64_t>(taxon);
    }
    return nodes;
}

std::optional<PairDistances> tree_pairwise_distances(const TreeSetData& data, std::uint64_t tree_id,
                                                     const QuintetNames& names) {
    const auto located = locate(data, tree_id, names);
    if (!located) return std::nullopt;
    return pairwise_distances(*located->first, located->second);
}

}  // namespace treetally
