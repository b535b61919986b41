// What every function of the companion's engine shares: its boundary, through which the core's
// fatal errors become the engine's error classes, and the conversion of the optional keywords of
// a load.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <utility>

#include "python/runtime/keyword_arguments.hpp"
#include "python/runtime/runtime.hpp"
#include "tree/collapse_rule.hpp"

namespace treetally::python {

// Every entry of the engine: the one boundary, which here raises a fatal error of the core as
// the engine's class of its kind (see initialise_engine), with the core's text as the message.
template <class Body>
PyObject* engine_call(Body&& body) {  // never throws: boundary_call catches everything
    return boundary_call(std::forward<Body>(body));
}

// An optional float keyword: nullopt for None.
std::optional<double> optional_float(PyObject* value);

// The max_line_bytes keyword: nullopt for None; a negative value is OverflowError.
std::optional<std::size_t> optional_line_cap(PyObject* value);

// The collapse rule of a load's keywords collapse_length, min_support and support_index (an
// int from 1, or None).
CollapseRule collapse_rule_of(const ArgumentList& arguments);

// Warns (UserWarning) when a load with a support bound read no support label: the bound then
// contracts nothing, which a caller rarely means. `stack_level` as PyErr_WarnEx takes it.
void warn_without_support_labels(const CollapseRule& rule, std::size_t labels_taken, int stack_level = 1);

// Warns (UserWarning) when `trees` trees name a taxon on two leaves: their counts then rest on
// the later leaf alone.
void warn_of_repeated_taxa(std::size_t trees, int stack_level = 1);

}  // namespace treetally::python
