// The texts of every message the module's contract fixes, in one place.
// Sources, fuzz harnesses and C++ tests all read them from here; callers see them verbatim.
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

// The Python boundary.
inline constexpr char unwrap_err_prefix[] = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr char no_constructor[] = "No constructor defined";
inline constexpr char embedded_null_byte[] = "embedded null byte";
inline constexpr char initialised_twice[] =
    "Quarrow modules may only be initialized once per interpreter process";
inline constexpr char no_exception_pending[] = "attempted to fetch exception but none was set";
inline constexpr char api_call_failed[] = "Python API call failed";
inline constexpr char type_not_created_prefix[] = "failed to create type object for ";
inline constexpr char all_not_appended[] = "could not append __name__ to __all__";
inline constexpr char panic_exception_not_created[] = "Failed to initialize new exception type.";
// Argument errors in the interpreter's own wording; "F" is the full name "Class.method()".
// "F<too_many_positional><count><was_given|were_given>"
inline constexpr char too_many_positional[] = " takes 1 positional arguments but ";
inline constexpr char was_given[] = " was given";
inline constexpr char were_given[] = " were given";
// "F<text><parameter or keyword>'"
inline constexpr char multiple_values[] = " got multiple values for argument '";
inline constexpr char unexpected_keyword[] = " got an unexpected keyword argument '";
inline constexpr char missing_argument[] = " missing 1 required positional argument: '";
// "'<type name><cannot_be_converted><target>'"; the stand-in when the name is unreadable.
inline constexpr char cannot_be_converted[] = "' object cannot be converted to '";
inline constexpr char unreadable_type_name[] = "<failed to extract type name>";
// "<tuple_length_prefix><n><tuple_length_middle><actual length>"
inline constexpr char tuple_length_prefix[] = "expected tuple of length ";
inline constexpr char tuple_length_middle[] = ", but got tuple of length ";
// "argument '<parameter>': <message of the TypeError it replaces>"
inline constexpr char argument_error_prefix[] = "argument '";
inline constexpr char argument_error_middle[] = "': ";

}  // namespace treetally::messages
