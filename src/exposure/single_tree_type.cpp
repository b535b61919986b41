#include "exposure/single_tree_type.hpp"

#include <utility>

#include "exposure/argument_parsing.hpp"
#include "exposure/boundary.hpp"
#include "exposure/conversions.hpp"
#include "exposure/heap_type.hpp"
#include "exposure/result_builders.hpp"
#include "exposure/single_tree_queries.hpp"

namespace treetally::python {
namespace {

const SingleTreeObject& single_tree_receiver(PyObject* self) {
    if (!is_instance_of(self, single_tree_type())) fail_type_mismatch(self, "SingleTree");
    return *reinterpret_cast<const SingleTreeObject*>(self);
}

// Checks the receiver, parses the one `names` argument and converts it to N names.
template <std::size_t N>
EncodedNames<N> names_argument(const ParameterDescription& description, PyObject* args,
                               PyObject* kwargs) {
    PyObject* names = parse_single_argument(description, args, kwargs);
    return convert_argument("names", [&] { return convert_names<N>(names); });
}

PyObject* retrieve_quintet_type(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SingleTreeObject& tree = single_tree_receiver(self);
        const auto names = names_argument<5>(retrieve_quintet_type_parameters, args, kwargs);
        return optional_code(tree_quintet_type(*tree.base.data, tree.id, names.names));
    });
}

PyObject* retrieve_quartet_type(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SingleTreeObject& tree = single_tree_receiver(self);
        const auto names = names_argument<4>(retrieve_quartet_type_parameters, args, kwargs);
        return optional_code(tree_quartet_type(*tree.base.data, tree.id, names.names));
    });
}

PyObject* retrieve_all_pairs_distance(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary_call([&] {
        const SingleTreeObject& tree = single_tree_receiver(self);
        const auto names = names_argument<5>(retrieve_all_pairs_distance_parameters, args, kwargs);
        const auto distances = tree_pairwise_distances(*tree.base.data, tree.id, names.names);
        return distances ? list_of_floats(*distances) : none();
    });
}

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

}  // namespace

PyTypeObject* single_tree_type() {
    // Created under the interpreter lock and kept for the life of the process.
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_heap_type(single_tree_spec, "SingleTree");
    return type;
}

PyObject* new_single_tree(std::shared_ptr<const TreeSetData> data, std::uint64_t id) {
    PyObject* object = allocate_shared_data_object(single_tree_type(), std::move(data));
    reinterpret_cast<SingleTreeObject*>(object)->id = id;
    return object;
}

}  // namespace treetally::python
