// The SingleTree class: one tree of a TreeSet, handed out by indexing; it shares the set's
// data and answers the topology and distance queries of that one tree.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "exposure/shared_data_object.hpp"

namespace treetally::python {

struct SingleTreeObject {
    SharedDataObject base;
    // Position of the tree in the set; compared with the tree count only when queried.
    std::uint64_t id;
};

// The SingleTree type object, created on first use.
PyTypeObject* single_tree_type();

// A new SingleTree for tree `id` of `data`; unwinds with the interpreter's exception.
PyObject* new_single_tree(std::shared_ptr<const TreeSetData> data, std::uint64_t id);

}  // namespace treetally::python
