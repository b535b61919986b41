// The one wrapper around every entry from Python: runs the body and turns every C++ failure
// into a pending Python exception, so that no C++ exception ever crosses into the interpreter.
#pragma once

#include <Python.h>

#include <utility>

namespace treetally::python {

// Converts the exception being handled (called only inside a catch block) into the pending
// Python exception: FatalError -> PanicException, PythonErrorSet -> the exception already
// pending, std::bad_alloc -> MemoryError, anything else -> SystemError.
void set_python_error_from_current_exception() noexcept;

// Runs `body`; on any failure sets the Python exception and returns `error_value` instead
// (null for object results, -1 for lengths and status codes).
template <class Result, class Body>
Result boundary_call(Result error_value, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        set_python_error_from_current_exception();
        return error_value;
    }
}

// The common case of an entry that returns a new object, or null with an exception set.
template <class Body>
PyObject* boundary_call(Body&& body) noexcept {
    return boundary_call<PyObject*>(nullptr, std::forward<Body>(body));
}

}  // namespace treetally::python
