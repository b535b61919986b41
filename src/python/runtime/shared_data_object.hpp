// The layout that every object of the module's classes starts with: the object header followed
// by a counted reference to the set's immutable TreeSetData. A TreeSet is just this. The
// companion's engine, built from the same sources in the same build, reads a TreeSet's data
// through this layout and makes TreeSets of the sets it loads itself.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <utility>

#include "python/runtime/runtime.hpp"
#include "sets/tree_set_data.hpp"

namespace treetally::python {

struct SharedDataObject {
    PyObject ob_base;  // the object header (what PyObject_HEAD declares)
    // Placement-constructed right after allocation; destroyed by the type's deallocation.
    std::shared_ptr<const TreeSetData> data;
};

// Allocates an instance of `type` through its allocation slot (the generic allocator if it has
// none) and stores `data` in it.
inline PyRef allocate_shared_data_object(PyTypeObject* type, std::shared_ptr<const TreeSetData> data) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyRef object = checked(alloc(type, 0));
    auto* holder = reinterpret_cast<SharedDataObject*>(object.get());
    new (&holder->data) std::shared_ptr<const TreeSetData>(std::move(data));
    return object;
}

}  // namespace treetally::python
