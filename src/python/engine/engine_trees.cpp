#include "python/engine/engine_trees.hpp"

#include <utility>

#include "base/fatal_error.hpp"
#include "python/runtime/shared_data_object.hpp"

namespace treetally::python {
namespace {

// treetally.TreeSet, looked up on first use and kept for the life of the process.
PyTypeObject* treetally_tree_set_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        const PyRef module = checked(PyImport_ImportModule("treetally"));
        PyRef found = checked(PyObject_GetAttrString(module.get(), "TreeSet"));
        if (!PyType_Check(found.get()))
            raise_error(PyExc_ImportError, "treetally.TreeSet is not a class");
        type = found.release();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

[[noreturn]] void fail_argument_type(const char* parameter, const char* expected) {
    const std::string message = std::string("argument '") + parameter + "' must be " + expected;
    raise_error(PyExc_TypeError, message.c_str());
}

}  // namespace

std::shared_ptr<const TreeSetData> tree_set_data_of(PyObject* object, const char* parameter) {
    // The class takes no subclasses, so its own objects are exactly those of its type.
    if (Py_TYPE(object) != treetally_tree_set_type())
        fail_argument_type(parameter, "a treetally.TreeSet");
    return reinterpret_cast<const SharedDataObject*>(object)->data;
}

PyRef new_tree_set(std::shared_ptr<const TreeSetData> data) {
    return allocate_shared_data_object(treetally_tree_set_type(), std::move(data));
}

std::vector<std::string> strings_argument(PyObject* sequence, const char* parameter) {
    if (!PyTuple_Check(sequence) && !PyList_Check(sequence))
        fail_argument_type(parameter, "a tuple or list of str");
    const PyRef items = checked(PySequence_Tuple(sequence));
    const Py_ssize_t count = PyTuple_Size(items.get());
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PyTuple_GetItem(items.get(), k);
        if (item == nullptr) throw_python_error();
        if (!PyUnicode_Check(item)) fail_argument_type(parameter, "a tuple or list of str");
        const PyRef encoded = checked(PyUnicode_AsUTF8String(item));
        texts.emplace_back(bytes_of(encoded));
    }
    return texts;
}

std::vector<TaxonId> taxon_ids_argument(const TaxonSet& taxa, std::span<const std::string> names) {
    std::vector<TaxonId> ids;
    ids.reserve(names.size());
    for (const std::string& name : names) {
        try {
            ids.push_back(taxa.id_of(name));
        } catch (const FatalError& error) {
            if (error.kind() != ErrorKind::unknown_taxon) throw;
            fail(ErrorKind::unknown_taxon, "Taxon not found: " + name);
        }
    }
    return ids;
}

// The `groups` argument: a list of lists of the set's taxon names, each group's ids.
std::vector<std::vector<TaxonId>> groups_of(const TaxonSet& taxa, PyObject* groups) {
    if (!PyTuple_Check(groups) && !PyList_Check(groups))
        raise_error(PyExc_TypeError, "groups must be a list of lists of taxa");
    const PyRef items = checked(PySequence_Tuple(groups));
    std::vector<std::vector<TaxonId>> ids;
    for (Py_ssize_t k = 0; k < PyTuple_Size(items.get()); ++k) {
        const std::vector<std::string> names =
            strings_argument(PyTuple_GetItem(items.get(), k), "groups");
        if (names.empty()) raise_error(PyExc_ValueError, "a group of taxa is empty");
        ids.push_back(taxon_ids_argument(taxa, names));
    }
    return ids;
}

}  // namespace treetally::python
