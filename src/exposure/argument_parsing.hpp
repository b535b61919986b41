// Parsing of the one required parameter that the constructor and the query methods take,
// by position or by keyword, with the interpreter-style TypeError texts on misuse.
#pragma once

#include <Python.h>

namespace treetally::python {

// One operation's single parameter; the full name in messages is "Class.operation()".
struct ParameterDescription {
    const char* class_name;
    const char* operation;
    const char* parameter;
};

inline constexpr ParameterDescription tree_set_new_parameters{"TreeSet", "__new__", "path"};
inline constexpr ParameterDescription tally_single_quintet_parameters{
    "TreeSet", "tally_single_quintet", "names"};
inline constexpr ParameterDescription tally_single_quartet_parameters{
    "TreeSet", "tally_single_quartet", "names"};
inline constexpr ParameterDescription coalescence_times_parameters{
    "TreeSet", "coalesence_times_by_topology", "names"};
inline constexpr ParameterDescription retrieve_quintet_type_parameters{
    "SingleTree", "retrieve_quintet_type", "names"};
inline constexpr ParameterDescription retrieve_quartet_type_parameters{
    "SingleTree", "retrieve_quartet_type", "names"};
inline constexpr ParameterDescription retrieve_all_pairs_distance_parameters{
    "SingleTree", "retrieve_all_pairs_distance", "names"};

// Returns the object given for the parameter (borrowed from `args` or `kwargs`), or sets a
// TypeError and unwinds. `kwargs` may be null.
PyObject* parse_single_argument(const ParameterDescription& description, PyObject* args,
                                PyObject* kwargs);

}  // namespace treetally::python
