#include "tables/table_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "base/fatal_error.hpp"

namespace treetally {

namespace {

void append_unsigned(std::string& out, std::uint64_t value) {
    std::array<char, 24> text;
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    out.append(text.data(), end);
}

void append_integer(std::string& out, std::int64_t value) {
    std::array<char, 24> text;
    const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
    out.append(text.data(), end);
}

// A float cell of a CSV line: empty for NaN, as the csv writer is handed "" for it.
void append_csv_float(std::string& out, double value) {
    if (!std::isnan(value)) append_python_repr(out, value);
}

// A float of a JSON record: null where JSON has no number.
void append_json_float(std::string& out, double value) {
    if (std::isfinite(value))
        append_python_repr(out, value);
    else
        out += "null";
}

// A count of trees that may be fractional: a whole number as an integer (so that counts of
// species without repeated individuals read as they always have), any other as the shortest
// decimal that reads back as the same double.
void append_share(std::string& out, double value) {
    constexpr double exact_integers = 9007199254740992.0;  // 2^53
    if (std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < exact_integers)
        append_integer(out, static_cast<std::int64_t>(value));
    else
        append_python_repr(out, value);
}

// One cell of column `column` in row `row`, as CSV or as a JSON value.
void append_cell(std::string& out, const RowColumns& rows, std::size_t column, std::size_t row,
                 bool json) {
    switch (rows.values->columns()[column].kind) {
        case CellKind::integer:
            append_integer(out, rows.cell<std::int64_t>(column, row));
            return;
        case CellKind::real: {
            const auto value = rows.cell<double>(column, row);
            if (json)
                append_json_float(out, value);
            else
                append_csv_float(out, value);
            return;
        }
        case CellKind::share:
            append_share(out, rows.cell<double>(column, row));
            return;
        case CellKind::flag: {
            const bool yes = rows.cell<std::uint8_t>(column, row) != 0;
            out += json ? (yes ? "true" : "false") : (yes ? "True" : "False");
            return;
        }
    }
}

// taxon_cells[index] for an index check_taxa has bounded.
const std::string& taxon_cell(std::span<const std::string> cells, std::int64_t index) {
    return cells[static_cast<std::size_t>(index)];
}

// Every row's taxa have a cell, checked before a row is written: nothing is half written.
void check_taxa(const RowColumns& rows, std::size_t taxon_cell_count) {
    for (std::size_t slot = 0; slot < static_cast<std::size_t>(rows.values->size()); ++slot)
        for (std::size_t row = 0; row < rows.rows; ++row)
            checked_index(static_cast<std::uint64_t>(rows.cell<std::int64_t>(slot, row)), taxon_cell_count);
}

RowColumns plain_columns(const RowValues& values, const TableBlock& block) {
    RowColumns rows(values);
    rows.assign(block, 0, block.rows);
    return rows;
}

}  // namespace

void append_python_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // The shortest digits that read back as `value`, as "-d.ddde-XX".
    std::array<char, 32> text;
    const auto end =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific)
            .ptr;
    const std::string_view scientific(text.data(), static_cast<std::size_t>(end - text.data()));
    const std::size_t e_at = scientific.find('e');
    std::string_view mantissa = scientific.substr(0, e_at);
    if (mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits(1, mantissa.front());
    if (mantissa.size() > 2) digits.append(mantissa.substr(2));
    const std::string_view exponent_text = scientific.substr(e_at + 1);
    int exponent = 0;
    const char* exponent_start = exponent_text.data() + (exponent_text.front() == '+');
    std::from_chars(exponent_start, exponent_text.data() + exponent_text.size(), exponent);

    if (exponent < -4 || exponent >= 16) {
        out += digits.front();
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) out += '0';
        append_unsigned(out, static_cast<std::uint64_t>(magnitude));
        return;
    }
    if (exponent < 0) {
        out.append("0.").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
        return;
    }
    const auto integral = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integral) {
        out.append(digits).append(integral - digits.size(), '0').append(".0");
        return;
    }
    out.append(digits, 0, integral).append(".").append(digits, integral);
}

void append_csv_rows(std::string& out, const RowColumns& rows,
                     std::span<const std::string> taxon_cells) {
    const auto size = static_cast<std::size_t>(rows.values->size());
    const std::size_t columns = rows.values->columns().size();
    check_taxa(rows, taxon_cells.size());
    for (std::size_t row = 0; row < rows.rows; ++row) {
        for (std::size_t slot = 0; slot < size; ++slot) {
            if (slot != 0) out += ',';
            out += taxon_cell(taxon_cells, rows.cell<std::int64_t>(slot, row));
        }
        for (std::size_t column = size; column < columns; ++column)
            append_cell(out += ',', rows, column, row, false);
        out += '\n';
    }
}

void append_json_rows(std::string& out, const RowColumns& rows,
                      std::span<const std::string> taxon_cells, bool first_block) {
    const auto size = static_cast<std::size_t>(rows.values->size());
    const std::size_t codes = rows.values->codes();
    const std::vector<ColumnSpec>& specs = rows.values->columns();
    check_taxa(rows, taxon_cells.size());
    const std::size_t counts = size;
    const std::size_t holding = counts + codes;
    const std::size_t concordance = holding + 2;
    const std::size_t further = concordance + codes;
    // Each further column's key, made once.
    std::vector<std::string> keys;
    for (std::size_t column = further; column < specs.size(); ++column)
        keys.push_back(", \"" + specs[column].name + "\": ");
    for (std::size_t row = 0; row < rows.rows; ++row) {
        out += first_block && row == 0 ? "\n" : ",\n";
        out += "{\"taxa\": [";
        for (std::size_t slot = 0; slot < size; ++slot) {
            if (slot != 0) out += ", ";
            out += taxon_cell(taxon_cells, rows.cell<std::int64_t>(slot, row));
        }
        out += "], \"counts\": [";
        for (std::size_t code = 0; code < codes; ++code) {
            if (code != 0) out += ", ";
            append_cell(out, rows, counts + code, row, true);
        }
        append_cell(out += "], \"holding\": ", rows, holding, row, true);
        append_cell(out += ", \"unresolved\": ", rows, holding + 1, row, true);
        out += ", \"concordance\": [";
        for (std::size_t code = 0; code < codes; ++code) {
            if (code != 0) out += ", ";
            append_cell(out, rows, concordance + code, row, true);
        }
        out += ']';
        for (std::size_t column = further; column < specs.size(); ++column)
            append_cell(out += keys[column - further], rows, column, row, true);
        out += '}';
    }
}

void append_csv_rows(std::string& out, const TableBlock& block,
                     std::span<const std::string> taxon_cells) {
    const RowValues values(block.size);
    const RowColumns rows = plain_columns(values, block);
    append_csv_rows(out, rows, taxon_cells);
}

void append_json_rows(std::string& out, const TableBlock& block,
                      std::span<const std::string> taxon_cells, bool first_block) {
    const RowValues values(block.size);
    const RowColumns rows = plain_columns(values, block);
    append_json_rows(out, rows, taxon_cells, first_block);
}

}  // namespace treetally
