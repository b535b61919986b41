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
#include "tree/load_context.hpp"
#include "tree/tree_collection.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

struct TreeSetData {
    TaxonSet taxon_set;
    // The trees themselves are not kept: once indexed, nothing reads them.
    IndexArena index_blocks;    // the indexes of `lcas` but their per-taxon tables
    IndexArena taxon_tables;    // the per-taxon tables
    std::vector<TreeLca> lcas;  // entry i indexes the tree of line i

    std::size_t tree_count() const { return lcas.size(); }
};

// Loads and indexes the file at `path`. A load failure is the fatal error
// 'Failed to load tree collection: "<reason>"'; a reader's fatal error passes through.
// The context's interrupt is asked now and then, while loading and while indexing; what it
// raises ends the call with everything freed.
TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context = {});

// The fatal error 'Failed to load tree collection: "<reason>"' for a failed load.
[[noreturn]] void fail_to_load(const LoadError& error);

// Indexes every tree of `collection`, each covering the collection's whole taxon set, and
// frees each tree once it is indexed. Raises std::bad_alloc, before building anything, when
// indexing_peak_bytes exceeds the memory that the context gives as available; the context's
// interrupt is asked every so many units of work.
TreeSetData index_tree_collection(TreeCollection collection, const LoadContext& context = {});

// Bytes that indexing `collection` keeps beside it: the indexes' blocks and their per-taxon
// tables (a block of memory each) and the list of indexes. Saturates instead of wrapping.
std::size_t collection_index_bytes(const TreeCollection& collection);

// The most that indexing `collection` holds beside it at one time: collection_index_bytes, the
// list of labelled nodes, and the scratch for building the largest index where it exceeds the
// per-taxon tables (the scratch goes before the tables come).
std::size_t indexing_peak_bytes(const TreeCollection& collection);

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
