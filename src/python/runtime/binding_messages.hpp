// The texts of the messages that the Python boundary itself fixes: argument errors in the
// interpreter's own wording, and the failures of building types and results.
#pragma once

namespace treetally::messages {

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

// The interpreter's wording for the calls that take several parameters; "f" is "function()".
// "f<takes><at_least|at_most|exactly><n> argument(s) (<given> given)"
inline constexpr char takes[] = " takes ";
inline constexpr char at_least[] = "at least ";
inline constexpr char at_most[] = "at most ";
inline constexpr char exactly[] = "exactly ";
// "f<missing_required><parameter>' (pos <place>)"
inline constexpr char missing_required[] = " missing required argument '";
// "<argument_for>f<given_by_name><parameter>') and position (<place>)"
inline constexpr char argument_for[] = "argument for ";
inline constexpr char given_by_name[] = " given by name ('";
inline constexpr char keywords_not_strings[] = "keywords must be strings";
// "'<keyword><invalid_keyword>f"
inline constexpr char invalid_keyword[] = "' is an invalid keyword argument for ";
// "f argument '<parameter>' must be <what>, not <type name>"
inline constexpr char embedded_null_character[] = "embedded null character";
inline constexpr char int_above_maximum[] = "signed integer is greater than maximum";
inline constexpr char int_below_minimum[] = "signed integer is less than minimum";

}  // namespace treetally::messages
