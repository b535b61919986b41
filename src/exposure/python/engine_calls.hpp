// What every function of the companion's engine shares: its boundary, through which the core's
// fatal errors become EngineError, and the conversion of the optional keywords of a load.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "exposure/python/runtime.hpp"
#include "tree/fatal_error.hpp"

namespace treetally::python {

// EngineError: a failure the core reports as a fatal error (a file that cannot be read, a
// branch length that is not a number); its text is the core's message.
PyObject* engine_error_type();

// The engine's boundary: its fatal errors become EngineError rather than PanicException, since
// the package turns them into errors of its own; every other failure as in the module.
template <class Body>
PyObject* engine_call(Body&& body) {  // never throws: boundary_call catches everything
    return boundary_call([&] {
        try {
            return std::forward<Body>(body)();
        } catch (const FatalError& error) {
            const std::string& message = error.message();
            const PyRef text = checked(PyUnicode_DecodeUTF8(
                message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
            raise_error(engine_error_type(), text);
        }
    });
}

// An optional float keyword: nullopt for None.
std::optional<double> optional_float(PyObject* value);

// The max_line_bytes keyword: nullopt for None; a negative value is OverflowError.
std::optional<std::size_t> optional_line_cap(PyObject* value);

}  // namespace treetally::python
