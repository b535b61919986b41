#include "lca/quintet_type.hpp"

#include <array>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "lca/deepest_pair.hpp"
#include "lca/query_range_check.hpp"

namespace treetally {

namespace {

// In second-pass records, the `second` slot that stands for the first cherry as one item.
constexpr std::uint8_t cherry_marker = 5;

// Slot k is carried by the bit 2^(4-k).
constexpr std::uint8_t slot_bit(std::uint8_t slot) {
    return static_cast<std::uint8_t>(16u >> slot);
}

// The side of the split without slot 0.
std::uint8_t canonical_quintet_mask(std::uint8_t mask) {
    const auto complement = static_cast<std::uint8_t>(mask ^ 31u);
    return complement < mask ? complement : mask;
}

// Row t holds the ascending mask pair of quintet type t.
constexpr std::array<std::array<std::uint8_t, 2>, quintet_type_count> masks_by_type{{
    {3, 7},
    {5, 7},
    {6, 7},
    {3, 11},
    {9, 11},
    {10, 11},
    {5, 13},
    {9, 13},
    {12, 13},
    {6, 14},
    {10, 14},
    {12, 14},
    {3, 12},
    {5, 10},
    {6, 9},
}};

// The same as one lookup: entry [a][b] is the type of the masks a and b in either order, or
// no_type. Canonical masks lack slot 0's bit, so they are below 16.
constexpr std::uint8_t no_type = 0xff;
constexpr std::size_t canonical_mask_count = 16;
using TypeByMasks =
    std::array<std::array<std::uint8_t, canonical_mask_count>, canonical_mask_count>;

constexpr TypeByMasks make_type_by_masks() {
    TypeByMasks table{};
    for (auto& row : table) row.fill(no_type);
    for (std::size_t t = 0; t < quintet_type_count; ++t) {
        table[masks_by_type[t][0]][masks_by_type[t][1]] = static_cast<std::uint8_t>(t);
        table[masks_by_type[t][1]][masks_by_type[t][0]] = static_cast<std::uint8_t>(t);
    }
    return table;
}

constexpr TypeByMasks type_by_masks = make_type_by_masks();

}  // namespace

std::uint8_t quintet_type_of_splits(std::uint8_t mask_a, std::uint8_t mask_b) {
    if (mask_a < canonical_mask_count && mask_b < canonical_mask_count) {
        const std::uint8_t type = type_by_masks[mask_a][mask_b];
        if (type != no_type) return type;
    }
    fail(messages::invalid_bipartitions);
}

namespace {

template <typename Reads>
std::optional<std::uint8_t> classify_quintet(const Reads& lca, const FivePositions& positions,
                                             PairLcaPositions& pair_lcas) {
    // Ten first-pass records, then three records pairing the first cherry with the others.
    std::array<PairLca, 13> records;
    std::size_t count = 0;
    for (std::uint8_t i = 0; i < 5; ++i) {
        for (auto j = static_cast<std::uint8_t>(i + 1); j < 5; ++j) {
            records[count] = pair_lca_in_range(lca, positions[i], positions[j], i, j);
            pair_lcas[count] = records[count].lca_pos;
            ++count;
        }
    }
    const auto cherry = deepest_pair(lca, std::span(records.data(), count));
    if (!cherry) return std::nullopt;
    const std::uint8_t i0 = cherry->first;
    const std::uint8_t j0 = cherry->second;
    const std::uint8_t mask1 = canonical_quintet_mask(slot_bit(i0) | slot_bit(j0));

    for (std::uint8_t k = 0; k < 5; ++k) {
        if (k == i0 || k == j0) continue;
        records[count++] = pair_lca_in_range(lca, cherry->lca_pos, positions[k], k, cherry_marker);
    }

    std::array<PairLca, 6> candidates;
    std::size_t candidate_count = 0;
    for (std::size_t r = 0; r < count; ++r) {
        const PairLca& record = records[r];
        if (record.first != i0 && record.first != j0 && record.second != i0 && record.second != j0)
            candidates[candidate_count++] = record;
    }
    const auto second = deepest_pair(lca, std::span(candidates.data(), candidate_count));
    if (!second) return std::nullopt;

    std::uint8_t mask2 = slot_bit(second->first);
    if (second->second == cherry_marker) {
        mask2 |= static_cast<std::uint8_t>(slot_bit(i0) | slot_bit(j0));
    } else {
        mask2 |= slot_bit(second->second);
    }
    return quintet_type_of_splits(mask1, canonical_quintet_mask(mask2));
}

}  // namespace

std::optional<std::uint8_t> quintet_type_with_distances(const TreeLca& lca,
                                                        const FivePositions& positions,
                                                        PairDistances& distances) {
    // One bounds test for the whole query: every LCA of in-range positions is in range.
    require_positions_in_range(lca, positions);
    return lca.with_fastest_reads([&](const auto& reads) {
        // The taxa's own distances do not depend on the classification, so their reads overlap
        // with it.
        const std::array<double, 5> leaf_distances = root_distances_of(reads, positions);
        PairLcaPositions pair_lcas;
        const auto code = classify_quintet(reads, positions, pair_lcas);
        if (code) distances = pairwise_distances_of_known_lcas(reads, leaf_distances, pair_lcas);
        return code;
    });
}

std::optional<std::uint8_t> quintet_type(const TreeLca& lca, const FivePositions& positions) {
    require_positions_in_range(lca, positions);
    return lca.with_fastest_reads([&](const auto& reads) {
        PairLcaPositions unused;
        return classify_quintet(reads, positions, unused);
    });
}

}  // namespace treetally
