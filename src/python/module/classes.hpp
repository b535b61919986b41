// The module's classes: TreeSet, the trees of one file, and SingleTree, one tree of a set
// handed out by indexing, with the iterator over a TreeSet. All share the set's immutable data.
#pragma once

#include <Python.h>

namespace treetally::python {

// The TreeSet type object, created on first use; SingleTree and the iterator follow from it.
PyTypeObject* tree_set_type();

}  // namespace treetally::python
