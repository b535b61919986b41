#include "exposure/tree_set_iterator_type.hpp"

#include <cstdint>
#include <utility>

#include "exposure/boundary.hpp"
#include "exposure/heap_type.hpp"
#include "exposure/shared_data_object.hpp"
#include "exposure/single_tree_type.hpp"

namespace treetally::python {
namespace {

struct TreeSetIteratorObject {
    SharedDataObject base;
    std::uint64_t next_id;
};

PyTypeObject* tree_set_iterator_type();

// Returns the next SingleTree, or null without an exception once all trees were yielded.
PyObject* next_tree(PyObject* self) {
    return boundary_call([&]() -> PyObject* {
        if (!is_instance_of(self, tree_set_iterator_type())) {
            PyErr_BadArgument();
            return nullptr;
        }
        auto* iterator = reinterpret_cast<TreeSetIteratorObject*>(self);
        if (iterator->next_id >= iterator->base.data->tree_count()) return nullptr;
        PyObject* tree = new_single_tree(iterator->base.data, iterator->next_id);
        ++iterator->next_id;
        return tree;
    });
}

PyType_Slot tree_set_iterator_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_shared_data_object)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_tree)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {0, nullptr},
};

PyType_Spec tree_set_iterator_spec = {
    "builtins.TreeSetIterator",
    static_cast<int>(sizeof(TreeSetIteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    tree_set_iterator_slots,
};

PyTypeObject* tree_set_iterator_type() {
    // Created under the interpreter lock and kept for the life of the process.
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_heap_type(tree_set_iterator_spec, "TreeSetIterator");
    return type;
}

}  // namespace

PyObject* new_tree_set_iterator(std::shared_ptr<const TreeSetData> data) {
    PyObject* object = allocate_shared_data_object(tree_set_iterator_type(), std::move(data));
    reinterpret_cast<TreeSetIteratorObject*>(object)->next_id = 0;
    return object;
}

}  // namespace treetally::python
