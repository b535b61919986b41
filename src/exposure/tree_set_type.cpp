#include "exposure/tree_set_type.hpp"

#include <cstdint>
#include <memory>
#include <string>

#include "exposure/argument_parsing.hpp"
#include "exposure/boundary.hpp"
#include "exposure/conversions.hpp"
#include "exposure/heap_type.hpp"
#include "exposure/result_builders.hpp"
#include "exposure/shared_data_object.hpp"
#include "exposure/single_tree_type.hpp"
#include "exposure/tree_set_iterator_type.hpp"
#include "exposure/tree_set_sweeps.hpp"
#include "tree/fatal_error.hpp"

namespace treetally::python {
namespace {

const SharedDataObject& tree_set_receiver(PyObject* self) {
    if (!is_instance_of(self, tree_set_type())) fail_type_mismatch(self, "TreeSet");
    return *reinterpret_cast<const SharedDataObject*>(self);
}

template <std::size_t N>
EncodedNames<N> names_argument(const ParameterDescription& description, PyObject* args,
                               PyObject* kwargs) {
    PyObject* names = parse_single_argument(description, args, kwargs);
    return convert_argument("names", [&] { return convert_names<N>(names); });
}

// The text of the pending exception, for the fatal error of a failed SingleTree allocation.
std::string pending_exception_text() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    if (!owned_value) return "no exception set";
    PyRef repr = PyRef::steal(PyObject_Repr(owned_value.get()));
    PyRef encoded = repr ? PyRef::steal(PyUnicode_AsUTF8String(repr.get())) : PyRef{};
    if (!encoded) {
        PyErr_Clear();
        return "<unprintable exception>";
    }
    return std::string(encoded_bytes(encoded));
}

PyObject* tree_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        PyObject* path_argument = parse_single_argument(tree_set_new_parameters, args, kwargs);
        const std::string path =
            convert_argument("path", [&] { return convert_path(path_argument); });
        // The whole file is read and indexed before the object exists; should allocation fail,
        // the record is released with the shared pointer.
        auto data = std::make_shared<const TreeSetData>(load_tree_set_data(path));
        return allocate_shared_data_object(type, std::move(data));
    });
}

Py_ssize_t tree_set_length(PyObject* self) {
    return boundary_call<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        const std::size_t count = tree_set_receiver(self).data->tree_count();
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_SetNone(PyExc_OverflowError);
            throw_python_error();
        }
        return static_cast<Py_ssize_t>(count);
    });
}

PyObject* tree_set_subscript(PyObject* self, PyObject* key) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const std::uint64_t id = convert_argument("id", [&] { return convert_tree_id(key); });
        try {
            return new_single_tree(tree_set.data, id);
        } catch (const PythonErrorSet&) {
            fail("called `Result::unwrap()` on an `Err` value: " + pending_exception_text());
        }
    });
}

// Sequence item access, present because the type has a subscript: the same as indexing.
PyObject* tree_set_item(PyObject* self, Py_ssize_t index) {
    return boundary_call([&] {
        PyRef key = checked(PyLong_FromSsize_t(index));
        return checked(PyObject_GetItem(self, key.get())).release();
    });
}

PyObject* tree_set_iter(PyObject* self) {
    return boundary_call([&] { return new_tree_set_iterator(tree_set_receiver(self).data); });
}

PyObject* taxa(PyObject* self, PyObject*) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        return list_of_strings(tree_set.data->taxon_set.taxon_names());
    });
}

PyObject* tally_single_quintet_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const auto names = names_argument<5>(tally_single_quintet_parameters, args, kwargs);
        return list_of_counts(tally_single_quintet(*tree_set.data, names.names));
    });
}

PyObject* tally_single_quartet_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const auto names = names_argument<4>(tally_single_quartet_parameters, args, kwargs);
        return list_of_counts(tally_single_quartet(*tree_set.data, names.names));
    });
}

PyObject* coalescence_times_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const auto names = names_argument<5>(coalescence_times_parameters, args, kwargs);
        return list_of_floats(coalescence_times_by_topology(*tree_set.data, names.names));
    });
}

PyMethodDef tree_set_methods[] = {
    {"taxa", taxa, METH_NOARGS, "taxa($self)\n--\n\n"},
    {"tally_single_quintet", as_method(tally_single_quintet_method), METH_VARARGS | METH_KEYWORDS,
     "tally_single_quintet($self, names)\n--\n\n"},
    {"tally_single_quartet", as_method(tally_single_quartet_method), METH_VARARGS | METH_KEYWORDS,
     "tally_single_quartet($self, names)\n--\n\n"},
    {"coalesence_times_by_topology", as_method(coalescence_times_method),
     METH_VARARGS | METH_KEYWORDS, "coalesence_times_by_topology($self, names)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_set_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_shared_data_object)},
    {Py_tp_new, reinterpret_cast<void*>(tree_set_new)},
    {Py_mp_length, reinterpret_cast<void*>(tree_set_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(tree_set_subscript)},
    {Py_tp_methods, tree_set_methods},
    {Py_sq_item, reinterpret_cast<void*>(tree_set_item)},
    // Iteration ends after the last tree; the sequence fallback would never stop, since
    // indexing accepts every id that is not negative.
    {Py_tp_iter, reinterpret_cast<void*>(tree_set_iter)},
    {0, nullptr},
};

PyType_Spec tree_set_spec = {
    "builtins.TreeSet", static_cast<int>(sizeof(SharedDataObject)), 0, Py_TPFLAGS_DEFAULT,
    tree_set_slots,
};

}  // namespace

PyTypeObject* tree_set_type() {
    // Created under the interpreter lock and kept for the life of the process.
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_heap_type(tree_set_spec, "TreeSet");
    return type;
}

}  // namespace treetally::python
