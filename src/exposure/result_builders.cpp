#include "exposure/result_builders.hpp"

#include <cstddef>

#include "exposure/py_ref.hpp"
#include "tree/fatal_error.hpp"

namespace treetally::python {
namespace {

// Takes a freshly made result object; a null one is reported and becomes a fatal error.
PyRef made(PyObject* object) {
    if (object == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_PrintEx(0);
        fail("Python API call failed");
    }
    return PyRef::steal(object);
}

// A list of `size` entries, entry k made by `make_item(k)`.
template <class MakeItem>
PyObject* list_of(std::size_t size, MakeItem&& make_item) {
    PyRef list = made(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t k = 0; k < size; ++k) {
        PyRef item = made(make_item(k));
        // PyList_SetItem takes the item's reference.
        if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release()) < 0)
            made(nullptr);
    }
    return list.release();
}

}  // namespace

PyObject* list_of_strings(const std::vector<std::string>& names) {
    return list_of(names.size(), [&](std::size_t k) {
        return PyUnicode_FromStringAndSize(names[k].data(),
                                           static_cast<Py_ssize_t>(names[k].size()));
    });
}

PyObject* list_of_counts(std::span<const std::uint64_t> counts) {
    return list_of(counts.size(), [&](std::size_t k) {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(counts[k]));
    });
}

PyObject* list_of_floats(std::span<const double> values) {
    return list_of(values.size(), [&](std::size_t k) { return PyFloat_FromDouble(values[k]); });
}

PyObject* optional_code(std::optional<std::uint8_t> code) {
    if (!code) return none();
    return made(PyLong_FromLong(static_cast<long>(*code))).release();
}

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace treetally::python
