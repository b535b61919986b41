#include "networks/network_distance.hpp"

#include <limits>
#include <new>

#include "base/fatal_error.hpp"
#include "base/saturating_add.hpp"
#include "networks/blob_quartets.hpp"

namespace treetally {

namespace {

std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
    return product;
}

constexpr std::array<std::array<std::size_t, 2>, 6> every_pair{{
    {0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3},
}};

}  // namespace

NetworkDistanceSums::NetworkDistanceSums(std::size_t taxa, const NetworkLevels& levels)
    : taxa_(taxa), levels_(levels) {
    if (bytes_for(taxa) == std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    sums_.resize(taxa * taxa);
}

std::size_t NetworkDistanceSums::bytes_for(std::size_t taxa) {
    return saturating_product(saturating_product(taxa, taxa), sizeof(std::int64_t));
}

void NetworkDistanceSums::add(std::span<const std::uint32_t, 4> taxa,
                              std::span<const std::uint64_t, 3> counts, std::uint64_t unresolved) {
    const QuartetClass kind =
        classify_quartet(counts, unresolved, levels_.spread, levels_.alpha, levels_.beta, levels_.test);
    ++classes_[static_cast<std::size_t>(kind)];
    const std::array<std::int64_t, 6> additions = quartet_additions(levels_.method, kind, counts);
    // A pair's sum is at most 12 for each of the fewer than 2^62 / 12 quartets that hold it.
    for (std::size_t slot = 0; slot < 6; ++slot)
        sums_[at(taxa[every_pair[slot][0]], taxa[every_pair[slot][1]])] += additions[slot];
}

void NetworkDistanceSums::add(std::span<const std::uint32_t, 4> taxa, std::span<const double, 3> shares,
                              double unresolved) {
    const QuartetClass kind =
        classify_quartet(shares, unresolved, levels_.spread, levels_.alpha, levels_.beta, levels_.test);
    ++classes_[static_cast<std::size_t>(kind)];
    const std::array<std::int64_t, 6> additions = quartet_additions(levels_.method, kind, shares);
    for (std::size_t slot = 0; slot < 6; ++slot)
        sums_[at(taxa[every_pair[slot][0]], taxa[every_pair[slot][1]])] += additions[slot];
}

void NetworkDistanceSums::add(std::span<const std::uint32_t, 4> taxa, QuartetClass kind, std::uint8_t topologies,
                              bool inferred) {
    for (const std::uint32_t taxon : taxa) checked_index(taxon, taxa_);
    if (inferred) {
        ++inferred_;
    } else {
        ++classes_[static_cast<std::size_t>(kind)];
    }
    const std::array<std::int64_t, 6> additions =
        quartet_additions(levels_.method, inferred ? QuartetClass::cycle : kind, topologies);
    for (std::size_t slot = 0; slot < 6; ++slot)
        sums_[at(taxa[every_pair[slot][0]], taxa[every_pair[slot][1]])] += additions[slot];
}

void NetworkDistanceSums::add(const TableBlock& block) {
    if (block.size != 4) fail("network distances are summed over quartets, not quintets");
    for (const std::uint32_t taxon : block.taxa) checked_index(taxon, taxa_);
    for (std::size_t row = 0; row < block.rows; ++row) {
        const std::span<const std::uint32_t, 4> taxa(&block.taxa[row * 4], 4);
        if (block.fractional()) {
            // Each row's three shares, then its unresolved share.
            add(taxa, std::span<const double, 3>(&block.shares[row * 4], 3), block.shares[row * 4 + 3]);
            continue;
        }
        const std::span<const std::uint64_t, 3> counts(&block.counts[row * 3], 3);
        add(taxa, counts, block.unresolved[row]);
    }
}

void NetworkDistanceSums::merge(const NetworkDistanceSums& other) {
    if (other.taxa_ != taxa_ || other.levels_.method != levels_.method || other.levels_.spread != levels_.spread)
        fail("network distance sums of different taxa or methods cannot be merged");
    for (std::size_t k = 0; k < sums_.size(); ++k) sums_[k] += other.sums_[k];
    for (std::size_t k = 0; k < quartet_class_count; ++k) classes_[k] += other.classes_[k];
    inferred_ += other.inferred_;
}

double NetworkDistanceSums::distance(std::size_t i, std::size_t j) const {
    checked_index(i, taxa_);
    checked_index(j, taxa_);
    if (i == j) return 0.0;
    // 2 * sum / 12 + 2n - 4, in whole sixths until the one rounding of the division.
    const std::int64_t sixths = sums_[at(i, j)] + 6 * (2 * static_cast<std::int64_t>(taxa_) - 4);
    return static_cast<double>(sixths) / 6.0;
}

std::vector<double> NetworkDistanceSums::matrix() const {
    std::vector<double> values(taxa_ * taxa_);
    for (std::size_t i = 0; i < taxa_; ++i)
        for (std::size_t j = 0; j < taxa_; ++j) values[i * taxa_ + j] = distance(i, j);
    return values;
}

std::size_t NetworkDistanceRun::bytes_needed(std::size_t taxa, std::size_t threads, NetworkMethod method) {
    const std::size_t sums = saturating_product(threads + 1, NetworkDistanceSums::bytes_for(taxa));
    const std::size_t doubles = saturating_product(saturating_product(taxa, taxa), 2 * sizeof(double));
    const std::size_t classes = method == NetworkMethod::tinnik ? BlobQuartets::bytes_for(taxa) : 0;
    return saturating_add(saturating_add(sums, doubles), classes);
}

NetworkDistanceRun::NetworkDistanceRun(const TopologyTable& table, const NetworkLevels& levels, std::size_t threads)
    : taxa_(table.taxon_count()), levels_(levels) {
    if (table.size() != 4) fail("network distances are summed over a quartet table");
    if (levels.method == NetworkMethod::tinnik) blobs_ = std::make_unique<BlobQuartets>(taxa_);
    blocks_ = std::make_unique<OrderedBlocks<std::size_t>>(
        table.block_count(), threads, [this, &table](std::size_t block, const InterruptCheck& interrupt) {
            const TableBlock counted = table.count_block(block, interrupt);
            if (blobs_) {
                blobs_->record(counted, levels_);
                return counted.rows;
            }
            NetworkDistanceSums* sums = nullptr;
            {
                const std::lock_guard lock(mutex_);
                if (idle_.empty()) {
                    sums_.push_back(std::make_unique<NetworkDistanceSums>(taxa_, levels_));
                    idle_.push_back(sums_.back().get());
                }
                sums = idle_.back();
                idle_.pop_back();
            }
            sums->add(counted);
            const std::lock_guard lock(mutex_);
            idle_.push_back(sums);
            return counted.rows;
        });
}

NetworkDistanceRun::~NetworkDistanceRun() = default;

std::optional<std::size_t> NetworkDistanceRun::next(std::chrono::milliseconds timeout) {
    return blocks_->next(timeout);
}

bool NetworkDistanceRun::finished() const {
    return blocks_->finished();
}

NetworkDistanceSums NetworkDistanceRun::result(const InterruptCheck& interrupt) {
    if (!finished()) fail("network distances were asked for before every block was added");
    if (blobs_) {
        blobs_->infer(interrupt);
        return blobs_->sums(levels_);
    }
    NetworkDistanceSums merged(taxa_, levels_);
    const std::lock_guard lock(mutex_);
    for (const auto& sums : sums_) merged.merge(*sums);
    return merged;
}

NetworkDistanceSums network_distance_sums(const TopologyTable& table, const NetworkLevels& levels,
                                          std::size_t threads, const InterruptCheck& interrupt) {
    NetworkDistanceRun run(table, levels, threads);
    constexpr std::chrono::milliseconds wait{20};
    while (run.next(wait) || !run.finished()) interrupt();
    return run.result(interrupt);
}

}  // namespace treetally
