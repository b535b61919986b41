#include "sets/tree_set_builder.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <span>
#include <utility>

#include "base/saturating_add.hpp"

namespace treetally {

namespace {

// Most files need less than twice their size of index blocks; files of short lines without
// lengths need more, and get more blocks as they grow.
constexpr std::size_t guessed_block_bytes_per_file_byte = 4;
// A labelled node takes at least two bytes of text: a label and a delimiter.
constexpr std::size_t least_text_bytes_per_labelled_node = 2;
// Hardly any tree is written in fewer bytes; a file of smaller ones grows the list of indexes.
constexpr std::size_t few_text_bytes_per_tree = 16;
// A guess is trusted with no more than this many bytes of room.
constexpr std::size_t largest_guess = std::size_t{256} << 20;
// The first block when nothing is known: a small set needs no more.
constexpr std::size_t default_first_block = std::size_t{1} << 20;
// Work counted as the entries an index or its per-taxon table writes (the index grows with the
// nodes, the table with the taxa) plus its allocations; asked well under every millisecond.
constexpr std::size_t work_between_interrupt_checks = std::size_t{1} << 16;
constexpr std::size_t work_per_tree = 64;
constexpr std::size_t work_per_node = 8;

}  // namespace

TreeSetBuilder::Room TreeSetBuilder::Room::for_file(std::size_t file_bytes) {
    Room room;
    room.block_bytes = std::min(file_bytes, largest_guess / guessed_block_bytes_per_file_byte) *
                       guessed_block_bytes_per_file_byte;
    room.labelled_nodes = std::min(file_bytes / least_text_bytes_per_labelled_node,
                                   largest_guess / sizeof(TreeLca::TaxonPlace));
    room.tree_count =
        std::min(file_bytes / few_text_bytes_per_tree, largest_guess / sizeof(TreeLca));
    return room;
}

TreeSetBuilder::Room TreeSetBuilder::Room::for_collection(const TreeCollection& collection) {
    Room room;
    for (const Tree& tree : collection.trees) {
        room.block_bytes += TreeLca::block_bytes_for(tree);
        room.labelled_nodes += tree.node_count();  // at most every node has a taxon
    }
    room.tree_count = collection.trees.size();
    return room;
}

TreeSetBuilder::TreeSetBuilder(std::size_t memory_budget, const Room& room,
                               InterruptCheck interrupt)
    : memory_budget_(memory_budget),
      pacer_(std::move(interrupt), work_between_interrupt_checks),
      blocks_(room.block_bytes != 0 ? room.block_bytes : default_first_block) {
    lcas_.reserve(room.tree_count);
    labelled_ends_.reserve(room.tree_count);
    labelled_.reserve(room.labelled_nodes);
}

void TreeSetBuilder::reserve(std::size_t bytes) const {
    if (saturating_add(held_, bytes) > memory_budget_) throw std::bad_alloc();
}

std::size_t TreeSetBuilder::add(const Tree& tree) {
    const std::size_t block_bytes = TreeLca::block_bytes_for(tree);
    reserve(saturating_add(block_bytes, TreeLca::BuildScratch::bytes_for(tree)));
    const std::size_t labelled_before = labelled_.size();
    lcas_.push_back(TreeLca::build_in(tree, blocks_.take(block_bytes), scratch_, labelled_));
    labelled_ends_.push_back(labelled_.size());
    const std::size_t bytes = block_bytes + sizeof(TreeLca) + sizeof(std::size_t) +
                              (labelled_.size() - labelled_before) * sizeof(TreeLca::TaxonPlace);
    held_ += bytes;
    pacer_.count(work_per_tree + work_per_node * tree.node_count());
    return bytes;
}

TreeSetData TreeSetBuilder::finish(TaxonSet taxa) && {
    // The scratch goes before the tables come, so that the two never add up.
    scratch_ = TreeLca::BuildScratch();
    const std::size_t taxon_count = taxa.size();
    std::size_t table_bytes = 0;
    for (const TreeLca& lca : lcas_)
        table_bytes = saturating_add(table_bytes, lca.positions_bytes_for(taxon_count));
    // The names stay beside the tables for the set's life.
    reserve(saturating_add(table_bytes, taxa.heap_bytes()));

    TreeSetData data{std::move(taxa), std::move(blocks_), IndexArena(table_bytes), {}};
    const std::span<const TreeLca::TaxonPlace> labelled(labelled_);
    std::size_t begin = 0;
    for (std::size_t k = 0; k < lcas_.size(); ++k) {
        TreeLca& lca = lcas_[k];
        lca.place_taxon_positions(taxon_count,
                                  data.taxon_tables.take(lca.positions_bytes_for(taxon_count)),
                                  labelled.subspan(begin, labelled_ends_[k] - begin));
        begin = labelled_ends_[k];
        pacer_.count(work_per_tree + taxon_count);
    }
    // The list of indexes stays for the set's life: without the room to spare of a guess.
    lcas_.shrink_to_fit();
    data.lcas = std::move(lcas_);
    return data;
}

}  // namespace treetally
