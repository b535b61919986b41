// Builders of the Python results: lists made at their final length and filled by position,
// ints, floats and None. A failure of the interpreter to make one is a fatal error.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace treetally::python {

// A new list of str, one per name.
PyObject* list_of_strings(const std::vector<std::string>& names);
// A new list of int.
PyObject* list_of_counts(std::span<const std::uint64_t> counts);
// A new list of float.
PyObject* list_of_floats(std::span<const double> values);
// A new int for a topology code, or None when there is none.
PyObject* optional_code(std::optional<std::uint8_t> code);
// None, as a new reference.
PyObject* none();

}  // namespace treetally::python
