// Builders of the Python results: lists made at their final length and filled by position,
// ints, floats and None. A failure of the interpreter to make one is a fatal error.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/runtime/runtime.hpp"

namespace treetally::python {

// A list of str, one per name.
PyRef list_of_strings(const std::vector<std::string>& names);
PyRef list_of_counts(std::span<const std::uint64_t> counts);
PyRef list_of_ints(std::span<const std::int64_t> values);
PyRef list_of_floats(std::span<const double> values);
PyRef list_of_floats_or_none(std::optional<std::span<const double>> values);
// An int for a topology code, or None when there is none.
PyRef optional_code(std::optional<std::uint8_t> code);
PyRef none();

}  // namespace treetally::python
