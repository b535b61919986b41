#include "exposure/heap_type.hpp"

#include <string>

#include "tree/fatal_error.hpp"

namespace treetally::python {

PyTypeObject* create_heap_type(PyType_Spec& spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_PrintEx(0);
        fail(std::string("failed to create type object for ") + class_name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

bool is_instance_of(PyObject* object, PyTypeObject* type) {
    return PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

}  // namespace treetally::python
