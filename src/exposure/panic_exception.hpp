// PanicException: the Python exception that carries a fatal error of the native code.
// It derives from BaseException so that, like SystemExit, ordinary handlers let it through.
#pragma once

#include <Python.h>

#include "tree/fatal_error.hpp"

namespace treetally::python {

// The exception type, created on first use and kept for the life of the process.
PyObject* panic_exception_type();

// Reports the fatal error on the standard error stream, then sets PanicException(message)
// as the pending Python exception.
void raise_panic(const FatalError& error);

}  // namespace treetally::python
