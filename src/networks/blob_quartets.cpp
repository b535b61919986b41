#include "networks/blob_quartets.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <new>

#include "base/fatal_error.hpp"

namespace treetally {

namespace {

// A quartet's byte: its class, its T-quartet topologies (bit j: the least taxon with the
// (j + 2)-th least), and the inference's marks.
constexpr std::uint8_t class_bits = 0x03;
constexpr unsigned topology_shift = 2;
constexpr std::uint8_t topology_bits = 0x1c;
constexpr std::uint8_t inferred_bit = 0x20;  // a B-quartet by the rules
constexpr std::uint8_t pending_bit = 0x40;   // inferred in the round under way
constexpr std::uint8_t frontier_bit = 0x80;  // inferred in the round before

QuartetClass class_of(std::uint8_t status) {
    return static_cast<QuartetClass>(status & class_bits);
}

// A B-quartet as a round reads it: tested so (a star or a rejected tree test) or inferred before.
bool b_quartet(std::uint8_t status) {
    const QuartetClass kind = class_of(status);
    return (status & inferred_bit) != 0 || kind == QuartetClass::star || kind == QuartetClass::cycle;
}

// A T-quartet whose split is known: one topology, not made a B-quartet.
bool split_quartet(std::uint8_t status) {
    return class_of(status) == QuartetClass::tree && (status & inferred_bit) == 0 &&
           std::popcount(static_cast<unsigned>((status & topology_bits) >> topology_shift)) == 1;
}

std::size_t saturating_binomial_4(std::size_t n) {
    if (n < 4) return 0;
    // C(n, 4) = n (n-1) (n-2) (n-3) / 24, in 128 bits: exact for any n below 2^32.
    __extension__ const unsigned __int128 value =
        static_cast<unsigned __int128>(n) * (n - 1) * (n - 2) * (n - 3) / 24;
    if (value > std::numeric_limits<std::size_t>::max()) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

}  // namespace

BlobQuartets::BlobQuartets(std::size_t taxa) : taxa_(taxa) {
    if (taxa > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    const std::size_t bytes = bytes_for(taxa);
    if (bytes == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    for (std::size_t k = 0; k < binomials_.size(); ++k) {
        binomials_[k].assign(taxa + 1, 0);
        for (std::size_t m = k; m <= taxa; ++m)
            binomials_[k][m] = k == 0 ? 1 : (m == k ? 1 : binomials_[k][m - 1] + binomials_[k - 1][m - 1]);
    }
    status_.assign(bytes, 0);
}

std::size_t BlobQuartets::bytes_for(std::size_t taxa) {
    return saturating_binomial_4(taxa);
}

std::uint64_t BlobQuartets::rank(std::span<const std::uint32_t, 4> sorted) const {
    return binomials_[1][sorted[0]] + binomials_[2][sorted[1]] + binomials_[3][sorted[2]] + binomials_[4][sorted[3]];
}

void BlobQuartets::record(std::span<const std::uint32_t, 4> taxa, QuartetClass kind, std::uint8_t topologies) {
    std::array<std::uint32_t, 4> sorted{taxa[0], taxa[1], taxa[2], taxa[3]};
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t k = 0; k < 4; ++k) {
        checked_index(sorted[k], taxa_);
        if (k > 0 && sorted[k] == sorted[k - 1]) fail("a quartet's four taxa must be distinct");
    }
    // Topology k pairs taxa[0] with taxa[k + 1]; in the sorted order, the least taxon's partner.
    std::uint8_t sorted_topologies = 0;
    for (std::size_t code = 0; code < 3; ++code) {
        if (((topologies >> code) & 1u) == 0) continue;
        const std::uint32_t first = taxa[0], second = taxa[code + 1];
        std::uint32_t partner = 0;
        if (sorted[0] == first) {
            partner = second;
        } else if (sorted[0] == second) {
            partner = first;
        } else {
            // The least taxon is in the other pair: its partner is the taxon in neither.
            for (std::size_t k = 1; k < 4; ++k)
                if (taxa[k] != second && taxa[k] != sorted[0]) partner = taxa[k];
        }
        const auto at = static_cast<std::size_t>(std::find(sorted.begin(), sorted.end(), partner) - sorted.begin());
        sorted_topologies = static_cast<std::uint8_t>(sorted_topologies | (1u << (at - 1)));
    }
    status_[rank(sorted)] =
        static_cast<std::uint8_t>(static_cast<unsigned>(kind) | (unsigned{sorted_topologies} << topology_shift));
}

void BlobQuartets::record(const TableBlock& block, const NetworkLevels& levels) {
    if (block.size != 4) fail("B-quartets are quartets, not quintets");
    for (std::size_t row = 0; row < block.rows; ++row) {
        const std::span<const std::uint32_t, 4> taxa(&block.taxa[row * 4], 4);
        if (block.fractional()) {
            // Each row's three shares, then its unresolved share.
            const std::span<const double, 3> shares(&block.shares[row * 4], 3);
            const double unresolved = block.shares[row * 4 + 3];
            const QuartetClass kind =
                classify_quartet(shares, unresolved, levels.spread, levels.alpha, levels.beta, levels.test);
            record(taxa, kind,
                   kind == QuartetClass::tree ? tree_topologies(levels.test, shares, unresolved, levels.spread) : 0);
            continue;
        }
        const std::span<const std::uint64_t, 3> counts(&block.counts[row * 3], 3);
        const std::uint64_t unresolved = block.unresolved[row];
        const QuartetClass kind =
            classify_quartet(counts, unresolved, levels.spread, levels.alpha, levels.beta, levels.test);
        const std::uint8_t topologies =
            kind == QuartetClass::tree ? tree_topologies(levels.test, counts, unresolved, levels.spread) : 0;
        record(taxa, kind, topologies);
    }
}

void BlobQuartets::apply_rules(const std::array<std::uint32_t, 5>& five, std::size_t from, BlobInference& found) {
    // Quartet m of the five lacks five[m]: the taxa before it keep their places in the rank's
    // sum, those after it move one place down.
    std::array<std::uint64_t, 5> ranks{};
    std::array<std::uint8_t, 5> status{};
    int b_count = 0;
    std::uint64_t before = 0;
    for (std::size_t m = 0; m < 5; ++m) {
        std::uint64_t after = 0;
        for (std::size_t i = m + 1; i < 5; ++i) after += binomials_[i][five[i]];
        ranks[m] = before + after;
        // five[m] keeps place m in the quartets that lack a later taxon (none lacks one after the last).
        if (m + 1 < 5) before += binomials_[m + 1][five[m]];
        status[m] = status_[ranks[m]];
        b_count += b_quartet(status[m]) ? 1 : 0;
    }
    if (b_count == 5) return;
    // Each frontier quartet of the five leads here; the one lacking the least taxon looks.
    for (std::size_t m = 0; m < from; ++m)
        if ((status[m] & frontier_bit) != 0) return;
    const auto mark = [&](std::size_t m, std::uint64_t& rule) {
        std::uint8_t& byte = status_[ranks[m]];
        if (b_quartet(status[m]) || (byte & pending_bit) != 0) return;
        byte = static_cast<std::uint8_t>(byte | pending_bit);
        ++rule;
    };
    if (b_count >= 3) {
        for (std::size_t m = 0; m < 5; ++m) mark(m, found.rule_one);
        return;
    }
    for (std::size_t b = 0; b < 5; ++b) {
        if (!b_quartet(status[b])) continue;
        const std::uint32_t e = five[b];  // the taxon the B-quartet lacks
        for (std::size_t t = 0; t < 5; ++t) {
            if (t == b || !split_quartet(status[t])) continue;
            std::array<std::uint32_t, 4> q{};
            std::size_t filled = 0;
            for (std::size_t i = 0; i < 5; ++i)
                if (i != t) q[filled++] = five[i];
            const auto code = static_cast<std::size_t>(
                std::countr_zero(static_cast<unsigned>((status[t] & topology_bits) >> topology_shift)));
            // The T-quartet pairs q[0] with q[code + 1], the other two together.
            std::uint32_t partner = 0;
            if (e == q[0]) {
                partner = q[code + 1];
            } else if (e == q[code + 1]) {
                partner = q[0];
            } else {
                for (std::size_t k = 1; k < 4; ++k)
                    if (k != code + 1 && q[k] != e) partner = q[k];
            }
            const auto x = static_cast<std::size_t>(std::find(five.begin(), five.end(), partner) - five.begin());
            mark(x, found.rule_two);
        }
    }
}

BlobInference BlobQuartets::infer(const InterruptCheck& interrupt) {
    BlobInference found;
    // The first round starts from every tested B-quartet.
    for (std::uint8_t& byte : status_)
        if (b_quartet(byte)) byte = static_cast<std::uint8_t>(byte | frontier_bit);
    for (;;) {
        const std::uint64_t before = found.rule_one + found.rule_two;
        std::array<std::uint32_t, 4> q{};
        std::uint64_t at = 0;
        // Colex order: d outermost, so that the rank runs 0, 1, 2, ...
        for (q[3] = 3; q[3] < taxa_; ++q[3])
            for (q[2] = 2; q[2] < q[3]; ++q[2]) {
                interrupt();
                for (q[1] = 1; q[1] < q[2]; ++q[1])
                    for (q[0] = 0; q[0] < q[1]; ++q[0], ++at) {
                        if ((status_[at] & frontier_bit) == 0) continue;
                        for (std::uint32_t e = 0; e < taxa_; ++e) {
                            if (e == q[0] || e == q[1] || e == q[2] || e == q[3]) continue;
                            // e among the ascending four, by insertion.
                            std::array<std::uint32_t, 5> five{};
                            std::size_t k = 0, from = 4;
                            for (const std::uint32_t taxon : q) {
                                if (from == 4 && e < taxon) {
                                    from = k;
                                    five[k++] = e;
                                }
                                five[k++] = taxon;
                            }
                            five[from] = e;
                            apply_rules(five, from, found);
                        }
                    }
            }
        for (std::uint8_t& byte : status_) {
            byte = static_cast<std::uint8_t>(byte & ~frontier_bit);
            if ((byte & pending_bit) != 0)
                byte = static_cast<std::uint8_t>((byte & ~pending_bit) | inferred_bit | frontier_bit);
        }
        if (found.rule_one + found.rule_two == before) break;
        ++found.rounds;
    }
    return found;
}

bool BlobQuartets::is_b(std::span<const std::uint32_t, 4> taxa) const {
    std::array<std::uint32_t, 4> sorted{taxa[0], taxa[1], taxa[2], taxa[3]};
    std::sort(sorted.begin(), sorted.end());
    for (const std::uint32_t taxon : sorted) checked_index(taxon, taxa_);
    return b_quartet(status_[rank(sorted)]);
}

bool BlobQuartets::inferred(std::span<const std::uint32_t, 4> taxa) const {
    std::array<std::uint32_t, 4> sorted{taxa[0], taxa[1], taxa[2], taxa[3]};
    std::sort(sorted.begin(), sorted.end());
    for (const std::uint32_t taxon : sorted) checked_index(taxon, taxa_);
    return (status_[rank(sorted)] & inferred_bit) != 0;
}

NetworkDistanceSums BlobQuartets::sums(const NetworkLevels& levels) const {
    NetworkDistanceSums sums(taxa_, levels);
    std::array<std::uint32_t, 4> q{};
    std::uint64_t at = 0;
    for (q[3] = 3; q[3] < taxa_; ++q[3])
        for (q[2] = 2; q[2] < q[3]; ++q[2])
            for (q[1] = 1; q[1] < q[2]; ++q[1])
                for (q[0] = 0; q[0] < q[1]; ++q[0], ++at) {
                    const std::uint8_t byte = status_[at];
                    sums.add(q, class_of(byte), static_cast<std::uint8_t>((byte & topology_bits) >> topology_shift),
                             (byte & inferred_bit) != 0);
                }
    return sums;
}

}  // namespace treetally
