// The iterator over a TreeSet: yields the SingleTree of each tree in file order and stops
// after the last one, so that for-loops, list() and `in` over a TreeSet end.
#pragma once

#include <Python.h>

#include <memory>

#include "exposure/tree_set_data.hpp"

namespace treetally::python {

// A new iterator over the trees of `data`; unwinds with the interpreter's exception.
PyObject* new_tree_set_iterator(std::shared_ptr<const TreeSetData> data);

}  // namespace treetally::python
