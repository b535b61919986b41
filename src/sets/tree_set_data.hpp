// The immutable record behind one TreeSet: the taxa of its file and one LCA index per tree.
// Shared by the TreeSet and all SingleTrees taken from it; nothing changes it once built.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lca/euler_pos.hpp"
#include "lca/index_arena.hpp"
#include "lca/tree_lca.hpp"
#include "tree/taxon_set.hpp"

namespace treetally {

struct TreeSetData {
    TaxonSet taxon_set;
    // The trees themselves are not kept: once indexed, nothing reads them.
    IndexArena index_blocks;    // the indexes of `lcas` but their per-taxon tables
    IndexArena taxon_tables;    // the per-taxon tables
    std::vector<TreeLca> lcas;  // entry i indexes the tree of line i

    std::size_t tree_count() const { return lcas.size(); }
};

// Maps `names` to taxon ids in order; the first unknown name raises "Taxon not found".
template <std::size_t N>
std::array<TaxonId, N> taxon_ids_of(const TaxonSet& taxa,
                                    const std::array<std::string_view, N>& names) {
    std::array<TaxonId, N> ids;
    for (std::size_t k = 0; k < N; ++k) ids[k] = taxa.id_of(names[k]);
    return ids;
}

// The taxa's positions in one tree, in slot order; false when any of them is absent.
template <std::size_t N>
bool read_positions(const TreeLca& lca, const std::array<TaxonId, N>& ids,
                    std::array<EulerPos, N>& positions) {
    for (std::size_t k = 0; k < N; ++k) {
        positions[k] = lca.taxon_position(ids[k]);
        if (positions[k].is_absent()) return false;
    }
    return true;
}

}  // namespace treetally
