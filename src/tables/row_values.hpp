// Every value a row of an all-quartet or all-quintet table holds, computed in one place for
// every output: the counts and taxa of the counted block, the concordance factors, for quartets
// both chi-square tests, and when asked the species tree's columns and the tests' p-values
// adjusted across the table. The values are laid out as columns (one run of cells per column),
// so that whole-table columns, blocks handed to Python and text share one writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "lca/tree_lca.hpp"
#include "tables/table_block.hpp"
#include "tables/tree_tests.hpp"

namespace treetally {

// How a column's cells are stored: int64, double, or one byte 0/1 (a numpy bool). A share is
// a double counting trees (possibly in fractions), written as an integer when it is whole.
enum class CellKind : std::uint8_t { integer, real, flag, share };

struct ColumnSpec {
    std::string name;
    CellKind kind;
};

constexpr std::size_t cell_width(CellKind kind) { return kind == CellKind::flag ? 1 : 8; }

// The species tree's shape on the quartets of a table's taxa.
class SpeciesQuartets {
  public:
    // `lca`: the species tree's index, which must outlive this; `positions[k]`: the place of
    // the table's taxon k in it (absent when the tree lacks it: its quartets are unresolved).
    SpeciesQuartets(const TreeLca& lca, std::vector<EulerPos> positions);

    struct Shape {
        int code;       // quartet code on the taxa in slot order, -1 when unresolved
        double length;  // the internal branch, four-point from path lengths; NaN for -1
    };
    // `taxa`: indexes of the table's taxa in slot order.
    Shape shape(std::span<const std::uint32_t> taxa) const;

    // Tables of at most this many taxa keep every path length between two of them, found
    // once (8 MiB at most), instead of asking the tree four times a row.
    static constexpr std::size_t kept_distances_limit = 1024;

  private:
    double distance(std::uint32_t a, std::uint32_t b) const;
    const TreeLca* lca_;
    std::vector<EulerPos> positions_;
    std::vector<double> distances_;  // row-major, positions_.size() squared, when kept
};

// Both tests' p-values of every row of a table, adjusted across it, by row rank.
struct AdjustedTests {
    std::vector<double> minor_equal;
    std::vector<double> star;
};

// The tree tests a quartet table adds (t3_statistic, t3_p; t1_statistic, t1_p against the
// species tree's quartet), with their statistic and method.
struct TreeTestColumns {
    bool t3 = false;
    bool t1 = false;
    double lambda = 0.0;
    TreeTestMethod method = TreeTestMethod::mlest;
};

class RowValues {
  public:
    // `species` (quartets only) adds the six species columns, `adjusted` (quartets only) the
    // two adjusted p-values; either must outlive this. `spread` (quartets only): the values
    // derived from the counts (concordance, tests, dominant code, estimated length) take each
    // unresolved tree as a third of a tree for each topology; the count columns stay raw.
    // `fractional`: the rows are those of species mapped from individuals (blocks holding
    // shares): the count columns and unresolved hold float64, and every value derived from
    // them reads the shares. `tests` (quartets only; t1 with `species`) adds the tree tests'
    // columns, on the counts spread like the other tests' when `spread`.
    RowValues(int size, const SpeciesQuartets* species = nullptr,
              const AdjustedTests* adjusted = nullptr, bool spread = false,
              bool fractional = false, TreeTestColumns tests = {});

    // The columns of rows whose values were computed elsewhere (and are only to be written):
    // with the species columns and the adjusted p-values when asked. fill() refuses.
    static RowValues described(int size, bool species_columns, bool adjusted_columns,
                               bool fractional = false, TreeTestColumns tests = {});

    // In order: t1.., count_0.., holding, unresolved, concordance_0.., for quartets
    // minor_equal_chi2, minor_equal_p, star_chi2, star_p, then species_code, species_length,
    // expected_concordance, dominant_code, dominant_is_species, estimated_length, then
    // minor_equal_p_adj, star_p_adj, then t3_statistic, t3_p, then t1_statistic, t1_p.
    const std::vector<ColumnSpec>& columns() const { return columns_; }
    int size() const { return size_; }
    bool fractional() const { return fractional_; }
    std::size_t codes() const { return topology_codes(size_); }
    // Bytes of one row across every column.
    std::size_t row_bytes() const;

    // Writes rows [from, to) of `block` into the columns at `targets` (one per column): row r
    // goes to index `first + (r - from)`. Checks the block's shape first (fatal when its
    // columns disagree with its row count or a row names an unknown taxon).
    void fill(const TableBlock& block, std::size_t from, std::size_t to,
              std::span<std::byte* const> targets, std::size_t first) const;

  private:
    RowValues(int size, const SpeciesQuartets* species, const AdjustedTests* adjusted,
              bool species_columns, bool adjusted_columns, bool spread, bool fractional,
              TreeTestColumns tests);
    // The values of row `row` of a block of shares, from its column `column` on, at `at`.
    void fill_shares(const TableBlock& block, std::size_t row, std::size_t column,
                     std::span<std::byte* const> targets, std::size_t at) const;
    // The tree tests' columns of counts `seen` (spread already when asked), from `column` on.
    void fill_tree_tests(const std::array<double, 3>& seen, int species_code,
                         std::span<std::byte* const> targets, std::size_t column,
                         std::size_t at) const;

    int size_;
    const SpeciesQuartets* species_;
    const AdjustedTests* adjusted_;
    bool computes_;  // false for described(): the columns alone
    bool spread_;
    bool fractional_;
    TreeTestColumns tests_;
    std::vector<ColumnSpec> columns_;
};

// Rows held as columns, one buffer per column of `values.columns()`: a chunk of a block on its
// way to text, or a block handed out.
struct RowColumns {
    explicit RowColumns(const RowValues& row_values)
        : values(&row_values), data(row_values.columns().size()) {}
    const RowValues* values;
    std::vector<std::vector<std::byte>> data;
    std::size_t rows = 0;

    // Rows [from, to) of `block`, replacing what was held.
    void assign(const TableBlock& block, std::size_t from, std::size_t to);
    std::vector<std::byte*> targets();

    template <typename T>
    T cell(std::size_t column, std::size_t row) const {
        T value;
        const std::size_t width = sizeof(T);
        std::memcpy(&value, data[column].data() + row * width, width);
        return value;
    }
};

}  // namespace treetally
