#include "tables/row_values.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "base/fatal_error.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "tables/quartet_formulas.hpp"
#include "tables/quartet_tests.hpp"

namespace treetally {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

std::string numbered(const char* prefix, std::size_t number) {
    std::string name = prefix;
    name += std::to_string(number);
    return name;
}

template <typename T>
void store(std::byte* column, std::size_t index, T value) {
    std::memcpy(column + index * sizeof(T), &value, sizeof(T));
}

// The rows' taxa and counts in the shape their row count and size call for.
void check_block(const TableBlock& block, int size, bool fractional) {
    if (block.size != size) fail("A table block holds rows of another size");
    if (block.fractional() != fractional && block.rows > 0)
        fail("A table block holds shares where whole counts are written, or the reverse");
    const auto slots = static_cast<std::size_t>(block.size);
    const bool counts_fit =
        block.fractional()
            ? block.shares.size() == block.rows * (block.codes() + 1) && block.counts.empty() &&
                  block.unresolved.empty()
            : block.counts.size() == block.rows * block.codes() &&
                  block.unresolved.size() == block.rows;
    if (block.taxa.size() != block.rows * slots || !counts_fit || block.holding.size() != block.rows)
        fail("A table block's columns disagree with its row count");
}

}  // namespace

SpeciesQuartets::SpeciesQuartets(const TreeLca& lca, std::vector<EulerPos> positions)
    : lca_(&lca), positions_(std::move(positions)) {
    const std::size_t count = positions_.size();
    if (count > kept_distances_limit) return;
    distances_.assign(count * count, not_a_number);
    for (std::size_t a = 0; a < count; ++a) {
        if (positions_[a].is_absent()) continue;
        for (std::size_t b = 0; b < count; ++b) {
            if (!positions_[b].is_absent())
                distances_[a * count + b] = path_distance(*lca_, positions_[a], positions_[b]);
        }
    }
}

double SpeciesQuartets::distance(std::uint32_t a, std::uint32_t b) const {
    if (!distances_.empty()) return distances_[a * positions_.size() + b];
    return path_distance(*lca_, positions_[a], positions_[b]);
}

SpeciesQuartets::Shape SpeciesQuartets::shape(std::span<const std::uint32_t> taxa) const {
    FourPositions positions;
    for (std::size_t slot = 0; slot < 4; ++slot) {
        positions[slot] = positions_[checked_index(taxa[slot], positions_.size())];
        if (positions[slot].is_absent()) return {-1, not_a_number};
    }
    const std::optional<std::uint8_t> code = quartet_type(*lca_, positions);
    if (!code) return {-1, not_a_number};
    // The split ab|cd of the code (slot 0 with slot code + 1): (d(a,c) + d(b,d) - d(a,b) -
    // d(c,d)) / 2, added left to right; the leaf branches cancel.
    static constexpr std::array<std::array<std::uint32_t, 4>, 3> splits = {
        {{0, 1, 2, 3}, {0, 2, 1, 3}, {0, 3, 1, 2}}};
    const auto& [a, b, c, d] = splits[*code];
    const double length = (distance(taxa[a], taxa[c]) + distance(taxa[b], taxa[d]) -
                           distance(taxa[a], taxa[b]) - distance(taxa[c], taxa[d])) /
                          2.0;
    return {*code, length};
}

RowValues::RowValues(int size, const SpeciesQuartets* species, const AdjustedTests* adjusted,
                     bool spread, bool fractional, TreeTestColumns tests)
    : RowValues(size, species, adjusted, species != nullptr, adjusted != nullptr, spread,
                fractional, tests) {}

RowValues RowValues::described(int size, bool species_columns, bool adjusted_columns,
                               bool fractional, TreeTestColumns tests) {
    RowValues values(size, nullptr, nullptr, species_columns, adjusted_columns, false, fractional,
                     tests);
    values.computes_ = false;
    return values;
}

RowValues::RowValues(int size, const SpeciesQuartets* species, const AdjustedTests* adjusted,
                     bool species_columns, bool adjusted_columns, bool spread, bool fractional,
                     TreeTestColumns tests)
    : size_(size),
      species_(species),
      adjusted_(adjusted),
      computes_(true),
      spread_(spread),
      fractional_(fractional),
      tests_(tests) {
    if (size != 4 && size != 5) fail("A table row holds four or five taxa");
    if (size != 4 && spread) fail("Unresolved trees are spread over a quartet's topologies only");
    if (size != 4 && (species_columns || adjusted_columns))
        fail("Species and adjusted columns belong to quartet tables");
    if (size != 4 && (tests.t3 || tests.t1)) fail("Tree tests belong to quartet tables");
    if (tests.t1 && !species_columns) fail("The T1 test needs the species tree's columns");
    const auto slots = static_cast<std::size_t>(size);
    for (std::size_t k = 0; k < slots; ++k) columns_.push_back({numbered("t", k + 1), CellKind::integer});
    const CellKind count_kind = fractional ? CellKind::share : CellKind::integer;
    for (std::size_t code = 0; code < codes(); ++code)
        columns_.push_back({numbered("count_", code), count_kind});
    columns_.push_back({"holding", CellKind::integer});
    columns_.push_back({"unresolved", count_kind});
    for (std::size_t code = 0; code < codes(); ++code)
        columns_.push_back({numbered("concordance_", code), CellKind::real});
    if (size == 4) {
        for (const char* name : {"minor_equal_chi2", "minor_equal_p", "star_chi2", "star_p"})
            columns_.push_back({name, CellKind::real});
    }
    if (species_columns) {
        columns_.push_back({"species_code", CellKind::integer});
        columns_.push_back({"species_length", CellKind::real});
        columns_.push_back({"expected_concordance", CellKind::real});
        columns_.push_back({"dominant_code", CellKind::integer});
        columns_.push_back({"dominant_is_species", CellKind::flag});
        columns_.push_back({"estimated_length", CellKind::real});
    }
    if (adjusted_columns) {
        columns_.push_back({"minor_equal_p_adj", CellKind::real});
        columns_.push_back({"star_p_adj", CellKind::real});
    }
    if (tests.t3) {
        columns_.push_back({"t3_statistic", CellKind::real});
        columns_.push_back({"t3_p", CellKind::real});
    }
    if (tests.t1) {
        columns_.push_back({"t1_statistic", CellKind::real});
        columns_.push_back({"t1_p", CellKind::real});
    }
}

std::size_t RowValues::row_bytes() const {
    std::size_t bytes = 0;
    for (const ColumnSpec& column : columns_) bytes += cell_width(column.kind);
    return bytes;
}

void RowValues::fill(const TableBlock& block, std::size_t from, std::size_t to,
                     std::span<std::byte* const> targets, std::size_t first) const {
    if (!computes_) fail("Rows described by their columns are not computed here");
    check_block(block, size_, fractional_);
    if (from > to || to > block.rows) fail("Rows past the end of a table block");
    if (targets.size() != columns_.size()) fail("One target per column of a table row");
    if (adjusted_ != nullptr && (block.first_row + block.rows > adjusted_->minor_equal.size() ||
                                 block.first_row + block.rows > adjusted_->star.size()))
        fail("Adjusted p-values end before the table's rows");
    const auto slots = static_cast<std::size_t>(size_);
    const std::size_t code_count = codes();
    for (std::size_t row = from; row < to; ++row) {
        const std::size_t at = first + (row - from);
        std::size_t column = 0;
        const std::span<const std::uint32_t> taxa = std::span(block.taxa).subspan(row * slots, slots);
        for (const std::uint32_t taxon : taxa) store<std::int64_t>(targets[column++], at, taxon);
        if (fractional_) {
            fill_shares(block, row, column, targets, at);
            continue;
        }
        const std::span<const std::uint64_t> counts =
            std::span(block.counts).subspan(row * code_count, code_count);
        WideCount resolved = 0;
        for (const std::uint64_t count : counts) {
            resolved += count;
            store(targets[column++], at, static_cast<std::int64_t>(count));
        }
        const std::uint64_t unresolved = block.unresolved[row];
        store(targets[column++], at, static_cast<std::int64_t>(block.holding[row]));
        store(targets[column++], at, static_cast<std::int64_t>(unresolved));
        if (spread_ && unresolved > 0) {
            // In thirds of a tree: 3 count + unresolved over 3 (resolved + unresolved).
            const WideCount holding = 3 * (resolved + unresolved);
            for (const std::uint64_t count : counts)
                store(targets[column++], at,
                      exact_quotient(3 * WideCount{count} + unresolved, holding));
        } else {
            for (const std::uint64_t count : counts)
                store(targets[column++], at, resolved == 0 ? not_a_number : exact_quotient(count, resolved));
        }
        if (size_ != 4) continue;
        const std::span<const std::uint64_t, 3> three(counts.data(), 3);
        const QuartetTests tests = quartet_tests(three, unresolved, spread_);
        for (const double value : {tests.minor_equal.statistic, tests.minor_equal.p_value,
                                   tests.star.statistic, tests.star.p_value})
            store(targets[column++], at, value);
        int species_code = -1;
        if (species_ != nullptr) {
            const SpeciesQuartets::Shape shape = species_->shape(taxa);
            species_code = shape.code;
            const bool spreads = spread_ && unresolved > 0;
            const std::array<std::uint64_t, 3> thirds =
                spreads ? spread_thirds(three, unresolved) : std::array<std::uint64_t, 3>{};
            const int dominant = spreads ? dominant_code(thirds) : dominant_code(three);
            store(targets[column++], at, static_cast<std::int64_t>(shape.code));
            store(targets[column++], at, shape.length);
            store(targets[column++], at,
                  shape.code >= 0 ? expected_concordance(shape.length) : not_a_number);
            store(targets[column++], at, static_cast<std::int64_t>(dominant));
            store(targets[column++], at,
                  static_cast<std::uint8_t>(dominant >= 0 && dominant == shape.code ? 1 : 0));
            store(targets[column++], at,
                  spreads ? estimated_length(thirds) : estimated_length(three));
        }
        if (adjusted_ != nullptr) {
            const std::size_t rank = static_cast<std::size_t>(block.first_row) + row;
            store(targets[column++], at, adjusted_->minor_equal[rank]);
            store(targets[column++], at, adjusted_->star[rank]);
        }
        if (tests_.t3 || tests_.t1) {
            // The counts the chi-square tests see: with `spread`, a third of each unresolved
            // tree on each topology.
            std::array<double, 3> seen{};
            for (std::size_t code = 0; code < 3; ++code)
                seen[code] = spread_ && unresolved > 0
                                 ? (3.0 * static_cast<double>(three[code]) +
                                    static_cast<double>(unresolved)) /
                                       3.0
                                 : static_cast<double>(three[code]);
            fill_tree_tests(seen, species_code, targets, column, at);
        }
    }
}

void RowValues::fill_tree_tests(const std::array<double, 3>& seen, int species_code,
                                std::span<std::byte* const> targets, std::size_t column,
                                std::size_t at) const {
    if (tests_.t3) {
        const TreeTestResult t3 = t3_test(seen, tests_.lambda, tests_.method);
        store(targets[column++], at, t3.statistic);
        store(targets[column++], at, t3.p);
    }
    if (tests_.t1) {
        const TreeTestResult t1 = species_code >= 0
                                      ? t1_test(seen, species_code, tests_.lambda, tests_.method)
                                      : TreeTestResult{not_a_number, not_a_number};
        store(targets[column++], at, t1.statistic);
        store(targets[column++], at, t1.p);
    }
}

void RowValues::fill_shares(const TableBlock& block, std::size_t row, std::size_t column,
                            std::span<std::byte* const> targets, std::size_t at) const {
    const std::size_t code_count = codes();
    const std::span<const double> shares =
        std::span(block.shares).subspan(row * (code_count + 1), code_count);
    const double unresolved = block.shares[row * (code_count + 1) + code_count];
    double resolved = 0.0;
    for (const double share : shares) {
        resolved += share;
        store(targets[column++], at, share);
    }
    store(targets[column++], at, static_cast<std::int64_t>(block.holding[row]));
    store(targets[column++], at, unresolved);
    const bool spreads = spread_ && unresolved > 0.0;
    for (const double share : shares) {
        double value = not_a_number;
        if (spreads)  // in thirds, as for whole counts: 3 count + unresolved over 3 holding
            value = (3.0 * share + unresolved) / (3.0 * (resolved + unresolved));
        else if (resolved > 0.0)
            value = share / resolved;
        store(targets[column++], at, value);
    }
    if (size_ != 4) return;
    const std::span<const double, 3> three(shares.data(), 3);
    const QuartetTests tests = quartet_tests(three, unresolved, spread_);
    for (const double value : {tests.minor_equal.statistic, tests.minor_equal.p_value,
                               tests.star.statistic, tests.star.p_value})
        store(targets[column++], at, value);
    int species_code = -1;
    if (species_ != nullptr) {
        const auto slots = static_cast<std::size_t>(size_);
        const SpeciesQuartets::Shape shape =
            species_->shape(std::span(block.taxa).subspan(row * slots, slots));
        species_code = shape.code;
        // The unresolved share spread a third to each topology, in thirds as for whole counts.
        std::array<double, 3> spread_counts{three[0], three[1], three[2]};
        if (spreads)
            for (double& count : spread_counts) count = 3.0 * count + unresolved;
        const std::span<const double, 3> judged(spread_counts);
        const int dominant = dominant_code(judged);
        store(targets[column++], at, static_cast<std::int64_t>(shape.code));
        store(targets[column++], at, shape.length);
        store(targets[column++], at,
              shape.code >= 0 ? expected_concordance(shape.length) : not_a_number);
        store(targets[column++], at, static_cast<std::int64_t>(dominant));
        store(targets[column++], at,
              static_cast<std::uint8_t>(dominant >= 0 && dominant == shape.code ? 1 : 0));
        store(targets[column++], at, estimated_length(judged));
    }
    if (adjusted_ != nullptr) {
        const std::size_t rank = static_cast<std::size_t>(block.first_row) + row;
        store(targets[column++], at, adjusted_->minor_equal[rank]);
        store(targets[column++], at, adjusted_->star[rank]);
    }
    if (tests_.t3 || tests_.t1) {
        std::array<double, 3> seen{three[0], three[1], three[2]};
        if (spreads)
            for (double& count : seen) count += unresolved / 3.0;
        fill_tree_tests(seen, species_code, targets, column, at);
    }
}

void RowColumns::assign(const TableBlock& block, std::size_t from, std::size_t to) {
    const std::vector<ColumnSpec>& specs = values->columns();
    rows = to >= from ? to - from : 0;
    for (std::size_t column = 0; column < specs.size(); ++column)
        data[column].resize(rows * cell_width(specs[column].kind));
    const std::vector<std::byte*> places = targets();
    values->fill(block, from, to, places, 0);
}

std::vector<std::byte*> RowColumns::targets() {
    std::vector<std::byte*> places;
    places.reserve(data.size());
    for (std::vector<std::byte>& column : data) places.push_back(column.data());
    return places;
}

}  // namespace treetally
