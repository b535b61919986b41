// The texts of every message the module's contract fixes, in one place.
// Sources, fuzz harnesses and C++ tests all read them from here; callers see them verbatim.
#pragma once

namespace treetally::messages {

// Loading a tree file: the loader's two error values and the fatal error that wraps them.
inline constexpr char could_not_read_file[] = "Could not read file";
inline constexpr char error_reading_file[] = "Error reading file";
inline constexpr char failed_to_load_prefix[] = "Failed to load tree collection: ";

// Reading one tree and naming taxa.
inline constexpr char invalid_float[] =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";
inline constexpr char taxon_not_found[] = "Taxon not found";
inline constexpr char too_many_taxa[] =
    "too many taxa: a tree file may name at most 2147483647 distinct taxa";
inline constexpr char tree_too_large[] = "tree too large: a tree may hold at most 2147483647 nodes";

// Classifying a topology from its splits.
inline constexpr char invalid_bipartition[] = "Invalid bipartition";
inline constexpr char invalid_bipartitions[] = "Invalid bipartitions";

// Positions and ids out of range: "<prefix><len><middle><index>".
inline constexpr char out_of_bounds_prefix[] = "index out of bounds: the len is ";
inline constexpr char out_of_bounds_middle[] = " but the index is ";

// The Python boundary.
inline constexpr char unwrap_err_prefix[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char no_constructor[] = "No constructor defined";
inline constexpr char embedded_null_byte[] = "embedded null byte";
inline constexpr char initialised_twice[] =
    "Quarrow modules may only be initialized once per interpreter process";

}  // namespace treetally::messages
