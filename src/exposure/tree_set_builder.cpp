#include "exposure/tree_set_builder.hpp"

#include <algorithm>
#include <new>
#include <span>

#include "exposure/index_memory.hpp"

namespace treetally {

namespace {

// Most files need less than twice their size of index blocks; files of short lines without
// lengths need more, and get more blocks as they grow.
constexpr std::size_t guessed_block_bytes_per_file_byte = 4;
// A labelled node takes at least two bytes of text: a label and a delimiter.
constexpr std::size_t least_text_bytes_per_labelled_node = 2;
// A guess is trusted with no more than this, and a small set needs no less.
constexpr std::size_t largest_guess = std::size_t{256} << 20;
constexpr std::size_t smallest_first_block = std::size_t{1} << 20;

std::size_t guessed(std::size_t file_bytes, std::size_t bytes_per_file_byte) {
    return std::min(file_bytes, largest_guess / bytes_per_file_byte) * bytes_per_file_byte;
}

}  // namespace

TreeSetBuilder::TreeSetBuilder(std::size_t memory_budget, std::size_t file_bytes)
    : memory_budget_(memory_budget),
      blocks_(
          std::max(guessed(file_bytes, guessed_block_bytes_per_file_byte), smallest_first_block)) {
    labelled_.reserve(
        guessed(file_bytes / least_text_bytes_per_labelled_node, sizeof(TreeLca::TaxonPlace)) /
        sizeof(TreeLca::TaxonPlace));
}

void TreeSetBuilder::reserve(std::size_t bytes) const {
    if (saturating_add(held_, bytes) > memory_budget_) throw std::bad_alloc();
}

std::size_t TreeSetBuilder::add(const Tree& tree) {
    const std::size_t block_bytes = lca_index_block_bytes(tree);
    reserve(saturating_add(block_bytes, lca_build_scratch_bytes(tree)));
    const std::size_t labelled_before = labelled_.size();
    lcas_.push_back(TreeLca::build_in(tree, blocks_.take(block_bytes), scratch_, labelled_));
    labelled_ends_.push_back(labelled_.size());
    const std::size_t bytes = block_bytes + sizeof(TreeLca) + sizeof(std::size_t) +
                              (labelled_.size() - labelled_before) * sizeof(TreeLca::TaxonPlace);
    held_ += bytes;
    return bytes;
}

TreeSetData TreeSetBuilder::finish(TaxonSet taxa) && {
    const std::size_t taxon_count = taxa.size();
    std::size_t table_bytes = 0;
    for (const TreeLca& lca : lcas_)
        table_bytes = saturating_add(table_bytes, lca.positions_bytes_for(taxon_count));
    reserve(table_bytes);

    TreeSetData data{std::move(taxa), std::move(blocks_), IndexArena(table_bytes), {}};
    const std::span<const TreeLca::TaxonPlace> labelled(labelled_);
    std::size_t begin = 0;
    for (std::size_t k = 0; k < lcas_.size(); ++k) {
        TreeLca& lca = lcas_[k];
        lca.place_taxon_positions(taxon_count,
                                  data.taxon_tables.take(lca.positions_bytes_for(taxon_count)),
                                  labelled.subspan(begin, labelled_ends_[k] - begin));
        begin = labelled_ends_[k];
    }
    data.lcas = std::move(lcas_);
    return data;
}

}  // namespace treetally
