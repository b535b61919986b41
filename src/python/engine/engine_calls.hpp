// What every function of the companion's engine shares: its boundary, through which the core's
// fatal errors become the engine's error classes, and the conversion of the optional keywords of
// a load.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <utility>

#include "python/runtime/runtime.hpp"

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

}  // namespace treetally::python
