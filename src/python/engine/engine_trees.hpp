// The TreeSets the companion's engine works on: treetally's own objects, recognised by their
// type and read through the layout both modules share, so the engine answers from the data the
// caller already holds and never opens a file again.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "python/runtime/runtime.hpp"
#include "sets/tree_set_data.hpp"

namespace treetally::python {

// The data of `object`, a treetally.TreeSet; TypeError naming `parameter` for anything else.
std::shared_ptr<const TreeSetData> tree_set_data_of(PyObject* object, const char* parameter);

// A new treetally.TreeSet holding `data` (a set the engine loaded itself).
PyRef new_tree_set(std::shared_ptr<const TreeSetData> data);

// The UTF-8 texts of a tuple or list of str; TypeError naming `parameter` otherwise.
std::vector<std::string> strings_argument(PyObject* sequence, const char* parameter);

// The ids of `names` in `taxa`, in order; the first unknown one is the fatal error
// unknown_taxon "Taxon not found: <name>" (the engine's TaxonNotFoundError, a ValueError).
std::vector<TaxonId> taxon_ids_argument(const TaxonSet& taxa, std::span<const std::string> names);

// The ids of `groups`, a list of lists of names of `taxa` (each a species' individuals);
// TypeError when it is no list, ValueError for an empty group, as for an unknown name.
std::vector<std::vector<TaxonId>> groups_of(const TaxonSet& taxa, PyObject* groups);

}  // namespace treetally::python
