#include "sets/presence.hpp"

#include <bit>
#include <limits>
#include <new>

#include "base/fatal_error.hpp"

namespace treetally {

namespace {

// Taxon lookups between two questions to the interrupt check: a few thousand trees' worth
// for a usual set, well under a millisecond.
constexpr std::size_t lookups_per_check = std::size_t{1} << 16;

constexpr std::size_t bits_per_word = 64;

}  // namespace

std::size_t Presence::bytes_for(std::size_t taxon_count, std::size_t tree_count) {
    const std::size_t words = tree_count / bits_per_word + (tree_count % bits_per_word != 0);
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
    const std::size_t word_bytes = sizeof(std::uint64_t);
    if (words != 0 && taxon_count > most / words / word_bytes) return most;
    return taxon_count * words * word_bytes;
}

Presence Presence::of(const TreeSetData& data, std::span<const TaxonId> taxa,
                      std::size_t memory_budget, const InterruptCheck& interrupt) {
    for (const TaxonId taxon : taxa) checked_index(taxon.index(), data.taxon_set.size());
    if (bytes_for(taxa.size(), data.tree_count()) > memory_budget) throw std::bad_alloc();

    Presence presence;
    presence.tree_count_ = data.tree_count();
    presence.word_count_ = (presence.tree_count_ + bits_per_word - 1) / bits_per_word;
    presence.row_count_ = taxa.size();
    presence.words_.assign(presence.row_count_ * presence.word_count_, 0);

    InterruptPacer pacer(interrupt, lookups_per_check);
    for (std::size_t tree = 0; tree < presence.tree_count_; ++tree) {
        pacer.count(taxa.size());
        const TreeLca& lca = data.lcas[tree];
        const std::uint64_t bit = std::uint64_t{1} << (tree % bits_per_word);
        std::uint64_t* word = presence.words_.data() + tree / bits_per_word;
        for (const TaxonId taxon : taxa) {
            if (!lca.taxon_position(taxon).is_absent()) *word |= bit;
            word += presence.word_count_;
        }
    }
    return presence;
}

std::span<const std::uint64_t> Presence::bits(std::size_t k) const {
    return std::span(words_).subspan(checked_index(k, row_count_) * word_count_, word_count_);
}

std::uint64_t Presence::trees_holding(std::size_t k) const {
    std::uint64_t count = 0;
    for (const std::uint64_t word : bits(k)) count += static_cast<unsigned>(std::popcount(word));
    return count;
}

std::uint64_t Presence::trees_holding_all(std::span<const std::size_t> ks) const {
    if (ks.empty()) return tree_count_;
    for (const std::size_t k : ks) checked_index(k, row_count_);
    std::uint64_t count = 0;
    for (std::size_t w = 0; w < word_count_; ++w) {
        std::uint64_t word = ~std::uint64_t{0};
        for (const std::size_t k : ks) word &= words_[k * word_count_ + w];
        count += static_cast<unsigned>(std::popcount(word));
    }
    return count;
}

std::vector<std::uint64_t> trees_per_taxon(const TreeSetData& data,
                                           const InterruptCheck& interrupt) {
    const std::size_t taxon_count = data.taxon_set.size();
    std::vector<std::uint64_t> counts(taxon_count, 0);
    InterruptPacer pacer(interrupt, lookups_per_check);
    for (const TreeLca& lca : data.lcas) {
        pacer.count(taxon_count);
        for (std::size_t t = 0; t < taxon_count; ++t) {
            const TaxonId taxon{static_cast<std::uint32_t>(t)};
            counts[t] += !lca.taxon_position(taxon).is_absent();
        }
    }
    return counts;
}

}  // namespace treetally
