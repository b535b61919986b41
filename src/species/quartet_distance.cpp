#include "species/quartet_distance.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "base/fatal_error.hpp"
#include "base/saturating_add.hpp"
#include "tables/quartet_formulas.hpp"

namespace treetally {

namespace {

// A WQDC length is summed in units of 2^-length_bits: an addition is below 64 (the length of a
// quartet whose concordance is n / (n + 1) for n below 2^64), so it fits in 62 bits, and a
// rounding error of 2^-57 per addition is far below what double arithmetic would lose.
constexpr int length_bits = 56;

__extension__ using UnsignedSum = unsigned __int128;

std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

// The slots of the four pairs each topology separates: code 0 is t1t2|t3t4, 1 t1t3|t2t4 and
// 2 t1t4|t2t3.
constexpr std::array<std::array<std::array<std::size_t, 2>, 4>, 3> separated{{
    {{{0, 2}, {0, 3}, {1, 2}, {1, 3}}},
    {{{0, 1}, {0, 3}, {2, 1}, {2, 3}}},
    {{{0, 1}, {0, 2}, {3, 1}, {3, 2}}},
}};

constexpr std::array<std::array<std::size_t, 2>, 6> every_pair{{
    {0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3},
}};

}  // namespace

QuartetDistanceSums::QuartetDistanceSums(std::size_t taxa, QuartetWeight weight, bool spread)
    : taxa_(taxa), weight_(weight), spread_(spread) {
    // Taxa beyond what a size_t can square are more than any memory holds.
    if (bytes_for(taxa) == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    sums_.resize(taxa * taxa);
    met_.resize(taxa * taxa);
}

std::size_t QuartetDistanceSums::bytes_for(std::size_t taxa) {
    return saturating_product(saturating_product(taxa, taxa), sizeof(Sum) + sizeof(std::uint8_t));
}

void QuartetDistanceSums::add(std::span<const std::uint32_t, 4> taxa,
                              std::span<const std::uint64_t, 3> raw,
                              std::uint64_t unresolved) {
    ++quartets_;
    // Spread, the counts are in thirds of a tree; ties and shares are the same for any unit.
    const bool spreads = spread_ && unresolved > 0;
    const std::array<std::uint64_t, 3> thirds =
        spreads ? spread_thirds(raw, unresolved) : std::array<std::uint64_t, 3>{};
    const std::span<const std::uint64_t, 3> counts =
        spreads ? std::span<const std::uint64_t, 3>(thirds) : raw;
    const int dominant = dominant_code(counts);
    if (dominant < 0) {
        ++unresolved_;
        return;
    }
    for (const auto& [k, l] : every_pair) met_[at(taxa[k], taxa[l])] = 1;
    const std::uint64_t best = counts[static_cast<std::size_t>(dominant)];
    std::size_t ties = 0;
    for (const std::uint64_t count : counts) ties += count == best ? 1 : 0;
    Sum share = 0;
    if (weight_ == QuartetWeight::votes) {
        share = whole_vote / static_cast<std::int64_t>(ties);
    } else {
        const std::uint64_t resolved = counts[0] + counts[1] + counts[2];
        // Only one topology (CF = 1, an infinite length): as if one more tree disagreed.
        const double length = best == resolved ? estimated_length(best, best + 1) : estimated_length(counts);
        if (!(length > 0.0)) return;  // three equal counts: no length
        share = std::llround(std::ldexp(length / static_cast<double>(ties), length_bits));
    }
    for (std::size_t code = 0; code < 3; ++code) {
        if (counts[code] != best) continue;
        for (const auto& [k, l] : separated[code]) sums_[at(taxa[k], taxa[l])] += share;
    }
}

void QuartetDistanceSums::add(std::span<const std::uint32_t, 4> taxa,
                              std::span<const double, 3> raw, double unresolved) {
    ++quartets_;
    // Spread, the shares are in thirds of a tree, as whole counts are.
    std::array<double, 3> counts{raw[0], raw[1], raw[2]};
    if (spread_ && unresolved > 0.0)
        for (double& count : counts) count = 3.0 * count + unresolved;
    const std::span<const double, 3> judged(counts);
    const int dominant = dominant_code(judged);
    if (dominant < 0) {
        ++unresolved_;
        return;
    }
    for (const auto& [k, l] : every_pair) met_[at(taxa[k], taxa[l])] = 1;
    const double best = counts[static_cast<std::size_t>(dominant)];
    std::size_t ties = 0;
    for (const double count : counts) ties += count == best ? 1 : 0;
    Sum share = 0;
    if (weight_ == QuartetWeight::votes) {
        share = whole_vote / static_cast<std::int64_t>(ties);
    } else {
        const double resolved = counts[0] + counts[1] + counts[2];
        // Only one topology (CF = 1, an infinite length): as if one more tree disagreed.
        const double length = best == resolved ? -std::log(1.5 / (best + 1.0)) : estimated_length(judged);
        if (!(length > 0.0)) return;  // three equal shares: no length
        share = std::llround(std::ldexp(length / static_cast<double>(ties), length_bits));
    }
    for (std::size_t code = 0; code < 3; ++code) {
        if (counts[code] != best) continue;
        for (const auto& [k, l] : separated[code]) sums_[at(taxa[k], taxa[l])] += share;
    }
}

void QuartetDistanceSums::add(const TableBlock& block) {
    if (block.size != 4) fail("quartet distances are summed over quartets, not quintets");
    for (const std::uint32_t taxon : block.taxa) checked_index(taxon, taxa_);
    for (std::size_t row = 0; row < block.rows; ++row) {
        const std::span<const std::uint32_t, 4> taxa(&block.taxa[row * 4], 4);
        if (block.fractional()) {
            // Each row's three shares, then its unresolved share.
            const std::span<const double, 3> shares(&block.shares[row * 4], 3);
            add(taxa, shares, block.shares[row * 4 + 3]);
            continue;
        }
        const std::span<const std::uint64_t, 3> counts(&block.counts[row * 3], 3);
        add(taxa, counts, block.unresolved[row]);
    }
}

void QuartetDistanceSums::merge(const QuartetDistanceSums& other) {
    if (other.taxa_ != taxa_ || other.weight_ != weight_ || other.spread_ != spread_)
        fail("quartet distance sums of different taxa or weights cannot be merged");
    for (std::size_t k = 0; k < sums_.size(); ++k) {
        sums_[k] += other.sums_[k];
        met_[k] |= other.met_[k];
    }
    quartets_ += other.quartets_;
    unresolved_ += other.unresolved_;
}

std::size_t QuartetDistanceSums::pair_count(std::size_t taxa) {
    return taxa < 2 ? 0 : saturating_product(taxa, taxa - 1) / 2;
}

void QuartetDistanceSums::write_exact(std::span<std::uint8_t> sums,
                                      std::span<std::uint8_t> met) const {
    const std::size_t pairs = pair_count(taxa_);
    if (sums.size() != pairs * exact_sum_bytes || met.size() != pairs)
        fail("exact quartet distance sums are written to one entry per pair");
    std::size_t pair = 0;
    for (std::size_t i = 0; i < taxa_; ++i) {
        for (std::size_t j = i + 1; j < taxa_; ++j, ++pair) {
            auto value = static_cast<UnsignedSum>(sums_[at(i, j)]);
            for (std::size_t byte = 0; byte < exact_sum_bytes; ++byte, value >>= 8)
                sums[pair * exact_sum_bytes + byte] = static_cast<std::uint8_t>(value & 0xffU);
            met[pair] = met_[at(i, j)];
        }
    }
}

std::optional<std::string> QuartetDistanceSums::add_exact(std::span<const std::uint8_t> sums,
                                                          std::span<const std::uint8_t> met,
                                                          std::uint64_t quartets,
                                                          std::uint64_t unresolved) {
    const std::size_t pairs = pair_count(taxa_);
    if (sums.size() != pairs * exact_sum_bytes || met.size() != pairs)
        return "exact quartet distance sums of " + std::to_string(taxa_) + " taxa hold " +
               std::to_string(pairs) + " pairs";
    if (unresolved > quartets)
        return "exact quartet distance sums count more unresolved quartets than quartets";
    std::uint64_t total_quartets = 0;
    std::uint64_t total_unresolved = 0;
    if (__builtin_add_overflow(quartets_, quartets, &total_quartets) ||
        __builtin_add_overflow(unresolved_, unresolved, &total_unresolved))
        return "exact quartet distance sums count more quartets than 64 bits hold";
    // Every addition is positive, so a sum is below 2^127: one at or above is not a sum, and
    // checking each total before storing any keeps these sums whole when one is refused.
    std::vector<Sum> totals(pairs);
    std::size_t pair = 0;
    for (std::size_t i = 0; i < taxa_; ++i) {
        for (std::size_t j = i + 1; j < taxa_; ++j, ++pair) {
            if (met[pair] > 1) return "exact quartet distance sums mark a pair's meeting by 0 or 1";
            UnsignedSum value = 0;
            for (std::size_t byte = exact_sum_bytes; byte-- > 0;)
                value = (value << 8) | sums[pair * exact_sum_bytes + byte];
            if ((value >> 127) != 0 ||
                __builtin_add_overflow(sums_[at(i, j)], static_cast<Sum>(value), &totals[pair]))
                return "exact quartet distance sums beyond what 127 bits hold";
        }
    }
    pair = 0;
    for (std::size_t i = 0; i < taxa_; ++i) {
        for (std::size_t j = i + 1; j < taxa_; ++j, ++pair) {
            sums_[at(i, j)] = totals[pair];
            met_[at(i, j)] |= met[pair];
        }
    }
    quartets_ = total_quartets;
    unresolved_ = total_unresolved;
    return std::nullopt;
}

double QuartetDistanceSums::distance(std::size_t i, std::size_t j) const {
    checked_index(i, taxa_);
    checked_index(j, taxa_);
    if (i == j) return 0.0;
    const auto sum = static_cast<double>(sums_[at(i, j)]);
    return weight_ == QuartetWeight::votes ? sum : std::ldexp(sum, -length_bits);
}

std::vector<double> QuartetDistanceSums::matrix() const {
    std::vector<double> values(taxa_ * taxa_);
    for (std::size_t i = 0; i < taxa_; ++i)
        for (std::size_t j = 0; j < taxa_; ++j) values[i * taxa_ + j] = distance(i, j);
    return values;
}

bool QuartetDistanceSums::met(std::size_t i, std::size_t j) const {
    checked_index(i, taxa_);
    checked_index(j, taxa_);
    return i != j && met_[at(i, j)] != 0;
}

std::size_t QuartetDistanceRun::bytes_needed(std::size_t taxa, std::size_t threads) {
    // Each thread's sums and their merge, then the merged distances as doubles twice (the
    // matrix and the copy its caller makes of it).
    const std::size_t sums = saturating_product(threads + 1, QuartetDistanceSums::bytes_for(taxa));
    const std::size_t doubles = saturating_product(saturating_product(taxa, taxa), 2 * sizeof(double));
    return saturating_add(sums, doubles);
}

QuartetDistanceRun::QuartetDistanceRun(const TopologyTable& table, QuartetWeight weight,
                                       std::size_t threads, bool spread)
    : QuartetDistanceRun(table, weight, threads, 0, table.block_count(), spread) {}

QuartetDistanceRun::QuartetDistanceRun(const TopologyTable& table, QuartetWeight weight,
                                       std::size_t threads, std::size_t first_block,
                                       std::size_t end_block, bool spread)
    : taxa_(table.taxon_count()), weight_(weight), spread_(spread) {
    if (table.size() != 4) fail("quartet distances are summed over a quartet table");
    if (first_block > end_block || end_block > table.block_count())
        fail("a run of quartet blocks lies within the table");
    blocks_ = std::make_unique<OrderedBlocks<std::size_t>>(
        end_block - first_block, threads,
        [this, &table, first_block](std::size_t block, const InterruptCheck& interrupt) {
            const TableBlock counted = table.count_block(first_block + block, interrupt);
            QuartetDistanceSums* sums = nullptr;
            {
                const std::lock_guard lock(mutex_);
                if (idle_.empty()) {
                    sums_.push_back(std::make_unique<QuartetDistanceSums>(taxa_, weight_, spread_));
                    idle_.push_back(sums_.back().get());
                }
                sums = idle_.back();
                idle_.pop_back();
            }
            sums->add(counted);  // raises nothing: the table's indexes are its own
            const std::lock_guard lock(mutex_);
            idle_.push_back(sums);
            return counted.rows;
        });
}

QuartetDistanceRun::~QuartetDistanceRun() = default;

std::optional<std::size_t> QuartetDistanceRun::next(std::chrono::milliseconds timeout) {
    return blocks_->next(timeout);
}

bool QuartetDistanceRun::finished() const {
    return blocks_->finished();
}

QuartetDistanceSums QuartetDistanceRun::result() const {
    if (!finished()) fail("quartet distances were asked for before every block was added");
    QuartetDistanceSums merged(taxa_, weight_, spread_);
    const std::lock_guard lock(mutex_);
    for (const auto& sums : sums_) merged.merge(*sums);
    return merged;
}

QuartetDistanceSums quartet_distance_sums(const TopologyTable& table, QuartetWeight weight,
                                          std::size_t threads, const InterruptCheck& interrupt,
                                          bool spread) {
    QuartetDistanceRun run(table, weight, threads, spread);
    constexpr std::chrono::milliseconds wait{20};
    while (run.next(wait) || !run.finished()) interrupt();
    return run.result();
}

}  // namespace treetally
