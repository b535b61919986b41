// The engine's network functions: the NANUQ and TINNiK distances of a set's trees. Registered
// by engine_module.cpp, which gives them its error boundary.
#pragma once

#include <Python.h>

#include "python/runtime/runtime.hpp"

namespace treetally::python {

// network_distances(trees, taxa, method, alpha, beta, jobs=1, progress=None, unresolved=None)
PyRef network_distances(PyObject* args, PyObject* kwargs);

}  // namespace treetally::python
