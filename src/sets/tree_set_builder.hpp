// Indexes the trees of a set one by one, as the loader reads them, so that no tree outlives
// its own indexing; the per-taxon tables follow once the file's last taxon is known.
#pragma once

#include <cstddef>
#include <vector>

#include "base/interrupt_check.hpp"
#include "lca/index_arena.hpp"
#include "lca/tree_lca.hpp"
#include "sets/tree_set_data.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"
#include "tree/tree_collection.hpp"

namespace treetally {

class TreeSetBuilder {
  public:
    // What the builder makes room for at once: growing would copy, fault pages in anew and
    // keep a set from huge pages, while room to spare costs nothing, since untouched memory is
    // never mapped in.
    struct Room {
        std::size_t block_bytes = 0;     // of the first block of indexes (0: a small default)
        std::size_t tree_count = 0;      // of the list of indexes
        std::size_t labelled_nodes = 0;  // of the list of labelled nodes
        // Generous guesses for a file of `file_bytes` bytes.
        static Room for_file(std::size_t file_bytes);
        // Exactly what indexing `collection` takes (TreeLca::build_in for every tree).
        static Room for_collection(const TreeCollection& collection);
    };

    // Raises std::bad_alloc rather than hold more than `memory_budget` bytes: the per-tree
    // taxon tables grow as taxa x trees, so a small file of many short lines with distinct
    // names asks for more than any machine has, and the kernel would kill the process instead
    // of failing an allocation.
    // `interrupt` is asked every so many units of work, while adding and while finishing;
    // what it raises ends the build with everything freed.
    TreeSetBuilder(std::size_t memory_budget, const Room& room, InterruptCheck interrupt = {});

    // Indexes `tree`, the next tree of the file; returns the bytes now held because of it.
    std::size_t add(const Tree& tree);

    // The finished record: `taxa`, the taxa of the whole file, and every tree's index with a
    // position slot for each of them. Raises std::bad_alloc unless the slots fit beside the
    // names.
    TreeSetData finish(TaxonSet taxa) &&;

  private:
    void reserve(std::size_t bytes) const;

    std::size_t memory_budget_;
    std::size_t held_ = 0;
    InterruptPacer pacer_;
    IndexArena blocks_;
    std::vector<TreeLca> lcas_;
    TreeLca::BuildScratch scratch_;
    std::vector<TreeLca::TaxonPlace> labelled_;  // of every tree, in file order
    std::vector<std::size_t> labelled_ends_;     // where the labelled nodes of each tree end
};

}  // namespace treetally
