#include "sets/mapped_tallies.hpp"

#include <array>
#include <optional>

#include "base/fatal_error.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"

namespace treetally {

namespace {

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

}  // namespace

void add_mapped_tally(const TreeSetData& data, std::span<const std::vector<TaxonId>* const> groups,
                      std::span<double> out, std::uint64_t& holding, MappedScratch& scratch,
                      const InterruptCheck& interrupt) {
    const std::size_t slots = groups.size();
    if (slots != 4 && slots != 5) fail("A mapped tally takes four or five groups");
    const std::size_t codes = slots == 4 ? quartet_type_count : quintet_type_count;
    if (out.size() != codes + 1) fail("A mapped tally's shares hold every code and unresolved");
    for (const std::vector<TaxonId>* group : groups) {
        if (group->empty()) fail("A group of taxa is empty");
        for (const TaxonId id : *group) checked_index(id.index(), data.taxon_set.size());
    }
    InterruptPacer pacer(interrupt, combinations_per_check);
    std::array<std::uint64_t, quintet_type_count + 1> tree_counts{};
    std::array<EulerPos, 5> chosen{};
    std::array<std::size_t, 5> at{};
    for (const TreeLca& lca : data.lcas) {
        pacer.count(1);
        // The individuals of each group this tree holds, as one run per group.
        scratch.positions.clear();
        scratch.starts.clear();
        bool holds = true;
        for (const std::vector<TaxonId>* group : groups) {
            scratch.starts.push_back(scratch.positions.size());
            for (const TaxonId id : *group) {
                const EulerPos position = lca.taxon_position(id);
                if (!position.is_absent()) scratch.positions.push_back(position);
            }
            if (scratch.positions.size() == scratch.starts.back()) {
                holds = false;
                break;
            }
        }
        if (!holds) continue;
        scratch.starts.push_back(scratch.positions.size());
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
