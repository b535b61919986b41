#include "exposure/shared_data_object.hpp"

#include <memory>
#include <new>
#include <utility>

#include "exposure/python_error_set.hpp"

namespace treetally::python {

PyObject* allocate_shared_data_object(PyTypeObject* type, std::shared_ptr<const TreeSetData> data) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (object == nullptr) throw_python_error();
    auto* holder = reinterpret_cast<SharedDataObject*>(object);
    new (&holder->data) std::shared_ptr<const TreeSetData>(std::move(data));
    return object;
}

void dealloc_shared_data_object(PyObject* self) {
    auto* holder = reinterpret_cast<SharedDataObject*>(self);
    std::destroy_at(&holder->data);
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    // Instances of heap types hold a reference to their type.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace treetally::python
