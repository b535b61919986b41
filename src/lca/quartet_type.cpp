#include "lca/quartet_type.hpp"

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "lca/deepest_pair.hpp"
#include "lca/query_range_check.hpp"

namespace treetally {

namespace {

// Slot k is carried by the bit 2^(3-k); the canonical side of a split excludes slot 0.
std::uint8_t canonical_quartet_mask(std::uint8_t first, std::uint8_t second) {
    const auto mask = static_cast<std::uint8_t>((8u >> first) | (8u >> second));
    const auto complement = static_cast<std::uint8_t>(mask ^ 15u);
    return complement < mask ? complement : mask;
}

std::uint8_t quartet_code_of_mask(std::uint8_t mask) {
    switch (mask) {
        case 3:
            return 0;
        case 5:
            return 1;
        case 6:
            return 2;
        default:
            fail(messages::invalid_bipartition);
    }
}

template <typename Reads>
std::optional<std::uint8_t> classify_quartet(const Reads& reads, const FourPositions& positions) {
    std::array<PairLca, 6> records;
    std::size_t count = 0;
    for (std::uint8_t i = 0; i < 4; ++i) {
        for (auto j = static_cast<std::uint8_t>(i + 1); j < 4; ++j) {
            records[count++] = pair_lca_in_range(reads, positions[i], positions[j], i, j);
        }
    }
    const auto cherry = deepest_pair(reads, std::span(records.data(), count));
    if (!cherry) return std::nullopt;
    return quartet_code_of_mask(canonical_quartet_mask(cherry->first, cherry->second));
}

}  // namespace

std::optional<std::uint8_t> quartet_type(const TreeLca& lca, const FourPositions& positions) {
    // One bounds test for the whole query: every LCA of in-range positions is in range.
    require_positions_in_range(lca, positions);
    return lca.with_fastest_reads(
        [&](const auto& reads) { return classify_quartet(reads, positions); });
}

}  // namespace treetally
