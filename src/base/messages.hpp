// The texts of every message of the core, those that the module's contract fixes among them,
// in one place.
// Sources, fuzz harnesses and C++ tests all read them from here; callers see them verbatim.
// The binding's own texts live beside it, in python/runtime/binding_messages.hpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace treetally::messages {

// Loading a tree file: the loader's two error values and the fatal error that wraps them.
inline constexpr char could_not_read_file[] = "Could not read file";
inline constexpr char error_reading_file[] = "Error reading file";

// 'Failed to load tree collection: "<reason>"', the reason quoted with any quote or backslash
// in it escaped.
inline std::string failed_to_load(std::string_view reason) {
    std::string message = "Failed to load tree collection: \"";
    for (const char c : reason) {
        if (c == '"' || c == '\\') message.push_back('\\');
        message.push_back(c);
    }
    message.push_back('"');
    return message;
}

// A line longer than a load's cap (LoadContext::max_line_bytes), named by its number from 1;
// the cap in MiB when it is a whole number of them. The package words its own refusals of such
// lines (before they reach a load) the same way.
inline std::string line_too_long(std::size_t line_number, std::size_t max_line_bytes) {
    constexpr std::size_t mib = std::size_t{1} << 20;
    const std::string cap = max_line_bytes % mib == 0 && max_line_bytes != 0
                                ? std::to_string(max_line_bytes / mib) + " MiB"
                                : std::to_string(max_line_bytes) + " bytes";
    return "line " + std::to_string(line_number) + " is longer than " + cap +
           ": is this one tree per line?";
}

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

// A position or id at or past the end of a sequence of length `len`.
inline std::string index_out_of_bounds(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace treetally::messages
