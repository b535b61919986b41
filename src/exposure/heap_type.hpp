// Creation of the module's classes from type specifications at run time (the stable ABI has
// no static type objects), and the constructor slot of classes that Python may not call.
#pragma once

#include <Python.h>

namespace treetally::python {

// Creates the type from `spec`; when the interpreter refuses, prints its exception and
// raises the fatal error "failed to create type object for <class_name>".
PyTypeObject* create_heap_type(PyType_Spec& spec, const char* class_name);

// Constructor slot that always fails with TypeError "No constructor defined".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Whether `object` is an instance of `type`.
bool is_instance_of(PyObject* object, PyTypeObject* type);

// Casts a method implementation with keywords to the PyCFunction stored in a method table.
template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace treetally::python
