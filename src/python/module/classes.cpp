#include "python/module/classes.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "base/messages.hpp"
#include "python/runtime/arguments.hpp"
#include "python/runtime/results.hpp"
#include "python/runtime/runtime.hpp"
#include "python/runtime/shared_data_object.hpp"
#include "sets/single_tree_queries.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"

namespace treetally::python {
namespace {

struct SingleTreeObject {
    SharedDataObject base;
    // Position of the tree in the set; compared with the tree count only when queried.
    std::uint64_t id;
};

struct TreeSetIteratorObject {
    SharedDataObject base;
    std::uint64_t next_id;
};

// The deallocation slot of the three classes: drops the data reference (destroying the record
// when it was the last), frees the memory through the type's free slot, releases the type.
void dealloc_shared_data_object(PyObject* self) {
    auto* holder = reinterpret_cast<SharedDataObject*>(self);
    std::destroy_at(&holder->data);
    free_heap_instance(self);
}

// The object a method was called on, as the class's layout once it is known to be one.
template <class Object>
const Object& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (!is_instance_of(self, type)) fail_type_mismatch(self, class_name);
    return *reinterpret_cast<const Object*>(self);
}

// ---- SingleTree: one tree of a TreeSet, handed out by indexing; it answers the topology and
// distance queries of that one tree.

PyTypeObject* single_tree_type();

constexpr ParameterDescription retrieve_quintet_type_parameters{
    "SingleTree", "retrieve_quintet_type", "names"};
constexpr ParameterDescription retrieve_quartet_type_parameters{
    "SingleTree", "retrieve_quartet_type", "names"};
constexpr ParameterDescription retrieve_all_pairs_distance_parameters{
    "SingleTree", "retrieve_all_pairs_distance", "names"};

// A query method of N names: checks the receiver, reads the names, asks `query` of the
// receiver's tree and returns what `build` makes of the answer.
template <std::size_t N, const ParameterDescription& description, auto query, auto build>
PyObject* single_tree_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const auto& tree = receiver<SingleTreeObject>(self, single_tree_type(), "SingleTree");
        const auto names = names_argument<N>(description, args, kwargs);
        return build(query(*tree.base.data, tree.id, names.names));
    });
}

constexpr auto retrieve_quintet_type =
    single_tree_query<5, retrieve_quintet_type_parameters, tree_quintet_type, optional_code>;
constexpr auto retrieve_quartet_type =
    single_tree_query<4, retrieve_quartet_type_parameters, tree_quartet_type, optional_code>;
constexpr auto retrieve_all_pairs_distance =
    single_tree_query<5, retrieve_all_pairs_distance_parameters, tree_pairwise_distances,
                      list_of_floats_or_none>;

PyMethodDef single_tree_methods[] = {
    {"retrieve_quintet_type", as_method(retrieve_quintet_type), METH_VARARGS | METH_KEYWORDS,
     "retrieve_quintet_type($self, names)\n--\n\n"},
    {"retrieve_quartet_type", as_method(retrieve_quartet_type), METH_VARARGS | METH_KEYWORDS,
     "retrieve_quartet_type($self, names)\n--\n\n"},
    {"retrieve_all_pairs_distance", as_method(retrieve_all_pairs_distance),
     METH_VARARGS | METH_KEYWORDS, "retrieve_all_pairs_distance($self, names)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot single_tree_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_shared_data_object)},
    {Py_tp_methods, single_tree_methods},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {0, nullptr},
};

PyType_Spec single_tree_spec = {
    "builtins.SingleTree", static_cast<int>(sizeof(SingleTreeObject)), 0, Py_TPFLAGS_DEFAULT,
    single_tree_slots,
};

PyTypeObject* single_tree_type() {
    return heap_type<single_tree_spec>();
}

PyRef new_single_tree(std::shared_ptr<const TreeSetData> data, std::uint64_t id) {
    PyRef object = allocate_shared_data_object(single_tree_type(), std::move(data));
    reinterpret_cast<SingleTreeObject*>(object.get())->id = id;
    return object;
}

// ---- The iterator over a TreeSet: yields the SingleTree of each tree in file order and stops
// after the last one, so that for-loops, list() and `in` over a TreeSet end.

PyTypeObject* tree_set_iterator_type();

// The next SingleTree, or null without an exception once all trees were yielded.
PyObject* next_tree(PyObject* self) {
    return boundary_call([&] {
        if (!is_instance_of(self, tree_set_iterator_type())) {
            PyErr_BadArgument();
            throw_python_error();
        }
        auto* iterator = reinterpret_cast<TreeSetIteratorObject*>(self);
        if (iterator->next_id >= iterator->base.data->tree_count()) return PyRef{};
        PyRef tree = new_single_tree(iterator->base.data, iterator->next_id);
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
    return heap_type<tree_set_iterator_spec>();
}

PyRef new_tree_set_iterator(std::shared_ptr<const TreeSetData> data) {
    PyRef object = allocate_shared_data_object(tree_set_iterator_type(), std::move(data));
    reinterpret_cast<TreeSetIteratorObject*>(object.get())->next_id = 0;
    return object;
}

// ---- TreeSet: the trees of one file, loaded and indexed by its constructor, with length,
// indexing, iteration, the taxon list and the sweeps over all trees.

constexpr ParameterDescription tree_set_new_parameters{"TreeSet", "__new__", "path"};
constexpr ParameterDescription tally_single_quintet_parameters{"TreeSet", "tally_single_quintet",
                                                               "names"};
constexpr ParameterDescription tally_single_quartet_parameters{"TreeSet", "tally_single_quartet",
                                                               "names"};
constexpr ParameterDescription coalescence_times_parameters{
    "TreeSet", "coalesence_times_by_topology", "names"};

const SharedDataObject& tree_set_receiver(PyObject* self) {
    return receiver<SharedDataObject>(self, tree_set_type(), "TreeSet");
}

// A sweep method of N names: checks the receiver, reads the names, runs `sweep` over the
// receiver's trees and returns what `build` makes of the answer.
template <std::size_t N, const ParameterDescription& description, auto sweep, auto build>
PyObject* tree_set_sweep(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const auto names = names_argument<N>(description, args, kwargs);
        return build(sweep(*tree_set.data, names.names));
    });
}

constexpr auto tally_single_quintet_method =
    tree_set_sweep<5, tally_single_quintet_parameters, tally_single_quintet, list_of_counts>;
constexpr auto tally_single_quartet_method =
    tree_set_sweep<4, tally_single_quartet_parameters, tally_single_quartet, list_of_counts>;
constexpr auto coalescence_times_method =
    tree_set_sweep<5, coalescence_times_parameters, coalescence_times_by_topology, list_of_floats>;

PyObject* tree_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const auto path = path_argument(tree_set_new_parameters, args, kwargs);
        // A name that no file can bear fails as any file that cannot be opened.
        if (!path) fail_to_load(LoadError::not_opened());
        // The whole file is read and indexed before the object exists; should allocation fail,
        // the record is released with the shared pointer.
        auto data = std::make_shared<const TreeSetData>(
            load_tree_set_data(*path, LoadContext{InterruptCheck(check_signals)}));
        return allocate_shared_data_object(type, std::move(data));
    });
}

Py_ssize_t tree_set_length(PyObject* self) {
    return boundary_call<Py_ssize_t>(-1, [&] {
        const std::size_t count = tree_set_receiver(self).data->tree_count();
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise_error(PyExc_OverflowError);
        return static_cast<Py_ssize_t>(count);
    });
}

PyObject* tree_set_subscript(PyObject* self, PyObject* key) {
    return boundary_call([&] {
        const SharedDataObject& tree_set = tree_set_receiver(self);
        const std::uint64_t id = tree_id_argument(key);
        return unwrapped([&] { return new_single_tree(tree_set.data, id); });
    });
}

// Sequence item access, present because the type has a subscript: the same as indexing.
PyObject* tree_set_item(PyObject* self, Py_ssize_t index) {
    return boundary_call([&] {
        const PyRef key = checked(PyLong_FromSsize_t(index));
        return checked(PyObject_GetItem(self, key.get()));
    });
}

PyObject* tree_set_iter(PyObject* self) {
    return boundary_call([&] { return new_tree_set_iterator(tree_set_receiver(self).data); });
}

PyObject* taxa(PyObject* self, PyObject*) {
    return boundary_call([&] {
        return list_of_strings(tree_set_receiver(self).data->taxon_set.taxon_names());
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
    return heap_type<tree_set_spec>();
}

}  // namespace treetally::python
