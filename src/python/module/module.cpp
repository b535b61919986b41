// The treetally extension module: its definition and its initialisation function, the only
// symbol that the shared library exports.
#include <Python.h>

#include <atomic>

#include "base/messages.hpp"
#include "python/module/classes.hpp"
#include "python/runtime/arguments.hpp"
#include "python/runtime/binding_messages.hpp"
#include "python/runtime/runtime.hpp"

namespace treetally::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "treetally",
    "Quartet and quintet topology tallies over files of rooted Newick trees.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,  // single-phase initialisation: no slots
    nullptr,
    nullptr,
    nullptr,
};

// Set by the first initialisation and never cleared: the types and the data they hold are
// process-wide, so a second module object (re-import, sub-interpreter) is refused.
std::atomic_flag module_initialised = ATOMIC_FLAG_INIT;

// The module's __all__, created as an empty list when the module has none yet.
PyRef all_list_of(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
        PyErr_Clear();
        all = checked(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) fail_type_mismatch(all.get(), "PyList");
    return all;
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    const PyRef all = all_list_of(module);
    const PyRef name_text = checked(PyUnicode_FromString(name));
    check_status_or_fatal(PyList_Append(all.get(), name_text.get()), messages::all_not_appended);
    check_status(PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)));
}

PyObject* initialise_module() {
    return boundary_call([] {
        PyRef module = checked(PyModule_Create2(&module_definition, 3));
        if (module_initialised.test_and_set())
            raise_error(PyExc_ImportError, messages::initialised_twice);
        add_class(module.get(), "TreeSet", tree_set_type());
        return module;
    });
}

}  // namespace
}  // namespace treetally::python

PyMODINIT_FUNC PyInit_treetally(void) {
    return treetally::python::initialise_module();
}
