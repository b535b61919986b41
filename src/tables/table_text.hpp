// Rows of an all-quartet or all-quintet table written as text exactly as Python's csv and
// json modules write the same values: floats as repr() gives them, so that a table written
// here matches one written from Python. The values come from RowValues (row_values.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tables/quartet_tests.hpp"
#include "tables/row_values.hpp"
#include "tables/table_block.hpp"

namespace treetally {

// Python's repr() of a double: the shortest text that reads back as the same value, in fixed
// notation for 1e-4 <= |value| < 1e16 (with ".0" when integral), else as d.ddde+XX with at
// least two exponent digits; "nan", "inf", "-inf", "0.0", "-0.0".
void append_python_repr(std::string& out, double value);

// Appends one CSV line per row, the cells in the order of the columns: taxon k as
// `taxon_cells[k]`, integers as written, floats as repr() (empty when not a number), flags as
// True or False. Lines end with "\n".
void append_csv_rows(std::string& out, const RowColumns& rows,
                     std::span<const std::string> taxon_cells);

// Appends one JSON record per row, each on its own line and written as json.dumps writes it,
// with the keys "taxa", "counts", "holding", "unresolved", "concordance", then one key per
// further column by its name (the tests, the species columns, the adjusted p-values); a float
// that is not a finite number is null, a flag true or false. Each record is preceded by ",\n",
// but the first of the first block by "\n": with "[" before the first block and "\n]\n" after
// the last ("]\n" when there are no rows at all) the text is a JSON list. `taxon_cells[k]` is
// taxon k as a JSON string.
void append_json_rows(std::string& out, const RowColumns& rows,
                      std::span<const std::string> taxon_cells, bool first_block);

// The plain columns of a counted block (RowValues without species or adjusted values).
void append_csv_rows(std::string& out, const TableBlock& block,
                     std::span<const std::string> taxon_cells);
void append_json_rows(std::string& out, const TableBlock& block,
                      std::span<const std::string> taxon_cells, bool first_block);

}  // namespace treetally
