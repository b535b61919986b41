// The layout shared by every Python object that holds a TreeSet's data: the object header
// followed by a counted reference to the immutable TreeSetData, released on deallocation.
#pragma once

#include <Python.h>

#include <memory>

#include "exposure/tree_set_data.hpp"

namespace treetally::python {

struct SharedDataObject {
    PyObject ob_base;  // the object header (what PyObject_HEAD declares)
    // Placement-constructed right after allocation; destroyed by dealloc_shared_data_object.
    std::shared_ptr<const TreeSetData> data;
};

// Allocates an instance of `type` through its allocation slot (the generic allocator if it
// has none) and stores `data` in it; unwinds with the interpreter's exception on failure.
PyObject* allocate_shared_data_object(PyTypeObject* type, std::shared_ptr<const TreeSetData> data);

// The deallocation slot of every such type: drops the data reference (destroying the record
// when it was the last), frees the memory through the type's free slot, releases the type.
void dealloc_shared_data_object(PyObject* self);

}  // namespace treetally::python
