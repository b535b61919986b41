// The layout that every object of the module's classes starts with: the object header followed
// by a counted reference to the set's immutable TreeSetData. A TreeSet is just this. The
// companion's engine, built from the same sources in the same build, reads a TreeSet's data
// through this layout and makes TreeSets of the sets it loads itself.
#pragma once

#include <Python.h>

#include <memory>

#include "exposure/tree_set_data.hpp"

namespace treetally::python {

struct SharedDataObject {
    PyObject ob_base;  // the object header (what PyObject_HEAD declares)
    // Placement-constructed right after allocation; destroyed by the type's deallocation.
    std::shared_ptr<const TreeSetData> data;
};

}  // namespace treetally::python
