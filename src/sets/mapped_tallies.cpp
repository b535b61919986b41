#include "sets/mapped_tallies.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

#include "base/fatal_error.hpp"
#include "base/saturating_add.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"

namespace treetally {

namespace {

std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

// Combinations classified between two questions to the interrupt check.
constexpr std::size_t combinations_per_check = 4096;

// The code of one combination, one position per slot; nullopt when it resolves none.
std::optional<std::uint8_t> classify(const TreeLca& lca, std::span<const EulerPos> chosen) {
    if (chosen.size() == 4) {
        const FourPositions four{chosen[0], chosen[1], chosen[2], chosen[3]};
        return quartet_type(lca, four);
    }
    const FivePositions five{chosen[0], chosen[1], chosen[2], chosen[3], chosen[4]};
    return quintet_type(lca, five);
}

// Adds every tree's shares: `runs(tree, scratch)` fills the scratch with the positions of each
// slot's individuals the tree holds (one run per slot) and answers whether every slot has one.
template <typename Runs>
void add_shares(const TreeSetData& data, std::size_t slots, std::span<double> out,
                std::uint64_t& holding, MappedScratch& scratch, const InterruptCheck& interrupt,
                Runs runs) {
    if (slots != 4 && slots != 5) fail("A mapped tally takes four or five groups");
    const std::size_t codes = slots == 4 ? quartet_type_count : quintet_type_count;
    if (out.size() != codes + 1) fail("A mapped tally's shares hold every code and unresolved");
    InterruptPacer pacer(interrupt, combinations_per_check);
    std::array<std::uint64_t, quintet_type_count + 1> tree_counts{};
    std::array<EulerPos, 5> chosen{};
    std::array<std::size_t, 5> at{};
    for (std::size_t tree = 0; tree < data.lcas.size(); ++tree) {
        pacer.count(1);
        scratch.positions.clear();
        scratch.starts.clear();
        if (!runs(tree, scratch)) continue;
        scratch.starts.push_back(scratch.positions.size());
        const TreeLca& lca = data.lcas[tree];
        ++holding;
        std::fill(tree_counts.begin(), tree_counts.end(), 0);
        // Every combination of one individual per group, the last slot turning fastest.
        std::fill(at.begin(), at.end(), 0);
        std::uint64_t combinations = 0;
        for (;;) {
            for (std::size_t slot = 0; slot < slots; ++slot)
                chosen[slot] = scratch.positions[scratch.starts[slot] + at[slot]];
            const auto code = classify(lca, std::span<const EulerPos>(chosen.data(), slots));
            ++tree_counts[code ? checked_index(*code, codes) : codes];
            ++combinations;
            pacer.count(1);
            bool last = true;
            for (std::size_t slot = slots; slot-- > 0;) {
                if (++at[slot] < scratch.starts[slot + 1] - scratch.starts[slot]) {
                    last = false;
                    break;
                }
                at[slot] = 0;
            }
            if (last) break;
        }
        const auto all = static_cast<double>(combinations);
        for (std::size_t code = 0; code <= codes; ++code)
            if (tree_counts[code] != 0) out[code] += static_cast<double>(tree_counts[code]) / all;
    }
}

}  // namespace

void add_mapped_tally(const TreeSetData& data, std::span<const std::vector<TaxonId>* const> groups,
                      std::span<double> out, std::uint64_t& holding, MappedScratch& scratch,
                      const InterruptCheck& interrupt) {
    for (const std::vector<TaxonId>* group : groups) {
        if (group->empty()) fail("A group of taxa is empty");
        for (const TaxonId id : *group) checked_index(id.index(), data.taxon_set.size());
    }
    add_shares(data, groups.size(), out, holding, scratch, interrupt,
               [&](std::size_t tree, MappedScratch& runs) {
                   const TreeLca& lca = data.lcas[tree];
                   for (const std::vector<TaxonId>* group : groups) {
                       runs.starts.push_back(runs.positions.size());
                       for (const TaxonId id : *group) {
                           const EulerPos position = lca.taxon_position(id);
                           if (!position.is_absent()) runs.positions.push_back(position);
                       }
                       if (runs.positions.size() == runs.starts.back()) return false;
                   }
                   return true;
               });
}

void add_mapped_tally(const TreeSetData& data, const GroupPlaces& places,
                      std::span<const std::uint32_t> chosen, std::span<double> out,
                      std::uint64_t& holding, MappedScratch& scratch,
                      const InterruptCheck& interrupt) {
    for (const std::uint32_t group : chosen) checked_index(group, places.group_count());
    add_shares(data, chosen.size(), out, holding, scratch, interrupt,
               [&](std::size_t tree, MappedScratch& runs) {
                   for (const std::uint32_t group : chosen) {
                       const std::span<const EulerPos> held = places.places(tree, group);
                       if (held.empty()) return false;
                       runs.starts.push_back(runs.positions.size());
                       runs.positions.insert(runs.positions.end(), held.begin(), held.end());
                   }
                   return true;
               });
}

std::size_t GroupPlaces::bytes_for(const TreeSetData& data,
                                   std::span<const std::vector<TaxonId>> groups) {
    std::size_t held = 0;
    for (const TreeLca& lca : data.lcas)
        for (const std::vector<TaxonId>& group : groups)
            for (const TaxonId id : group) held += lca.taxon_position(id).is_absent() ? 0 : 1;
    const std::size_t entries = saturating_add(
        saturating_product(data.lcas.size(), groups.size()), std::size_t{1});
    return saturating_add(saturating_product(entries, sizeof(std::uint32_t)),
                          saturating_product(held, sizeof(EulerPos)));
}

GroupPlaces::GroupPlaces(const TreeSetData& data, std::span<const std::vector<TaxonId>> groups,
                         const InterruptCheck& interrupt)
    : groups_(groups.size()) {
    InterruptPacer pacer(interrupt, combinations_per_check);
    starts_.reserve(data.lcas.size() * groups_ + 1);
    for (const TreeLca& lca : data.lcas) {
        pacer.count(1);
        for (const std::vector<TaxonId>& group : groups) {
            starts_.push_back(static_cast<std::uint32_t>(positions_.size()));
            for (const TaxonId id : group) {
                const EulerPos position = lca.taxon_position(id);
                if (!position.is_absent()) positions_.push_back(position);
            }
        }
    }
    if (positions_.size() > std::numeric_limits<std::uint32_t>::max())
        fail(ErrorKind::too_large, "too many individuals in the trees to place");
    starts_.push_back(static_cast<std::uint32_t>(positions_.size()));
}

MappedTally mapped_tally(const TreeSetData& data, std::span<const std::vector<TaxonId>> groups,
                         const InterruptCheck& interrupt) {
    const std::size_t slots = groups.size();
    if (slots != 4 && slots != 5) fail("A mapped tally takes four or five groups");
    const std::size_t codes = slots == 4 ? quartet_type_count : quintet_type_count;
    std::vector<const std::vector<TaxonId>*> pointers;
    for (const std::vector<TaxonId>& group : groups) pointers.push_back(&group);
    std::vector<double> out(codes + 1, 0.0);
    MappedScratch scratch;
    MappedTally tally;
    add_mapped_tally(data, pointers, out, tally.holding, scratch, interrupt);
    tally.unresolved = out[codes];
    out.pop_back();
    tally.shares = std::move(out);
    return tally;
}

}  // namespace treetally
