// The marker exception for "a Python exception is already pending": thrown by helpers that
// fail through the interpreter, so that the boundary only has to return the error indicator.
#pragma once

#include <Python.h>

#include <exception>

#include "exposure/py_ref.hpp"

namespace treetally::python {

class PythonErrorSet : public std::exception {
  public:
    const char* what() const noexcept override { return "a Python exception is pending"; }
};

// Leaves the pending Python exception in place and unwinds to the boundary.
[[noreturn]] inline void throw_python_error() {
    throw PythonErrorSet{};
}

// Returns `object` as an owned reference, or unwinds when the API call that made it failed.
inline PyRef checked(PyObject* object) {
    if (object == nullptr) throw_python_error();
    return PyRef::steal(object);
}

// Unwinds when an API call that reports failure as -1 failed.
inline void check_status(int status) {
    if (status < 0) throw_python_error();
}

}  // namespace treetally::python
