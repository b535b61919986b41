// The arguments of the constructor and the query methods: the one required parameter, given by
// position or keyword, converted to plain values, with the interpreter-style errors on misuse.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/runtime/runtime.hpp"

namespace treetally::python {

// One method's single parameter; the full name in messages is "Class.method()".
struct ParameterDescription {
    const char* class_name;
    const char* operation;
    const char* parameter;
};

// Sets TypeError "'<type qualname>' object cannot be converted to '<target>'" and passes it on.
[[noreturn]] void fail_type_mismatch(PyObject* object, const char* target);

// The UTF-8 encodings of the items of a `names` tuple, alive as long as this object; the
// views point into the interpreter's bytes objects, so no name is copied.
template <std::size_t N>
struct EncodedNames {
    std::array<PyRef, N> encodings;
    std::array<std::string_view, N> names;
};

// Reads the `names` argument, a tuple of exactly encodings.size() str items, item 0 first; the
// first failing item ends the conversion.
void read_names_argument(const ParameterDescription& description, PyObject* args,
                         PyObject* kwargs, std::span<PyRef> encodings,
                         std::span<std::string_view> names);

template <std::size_t N>
EncodedNames<N> names_argument(const ParameterDescription& description, PyObject* args,
                               PyObject* kwargs) {
    EncodedNames<N> result;
    read_names_argument(description, args, kwargs, result.encodings, result.names);
    return result;
}

// The file name of the `path` argument: a str, or a pathlib.Path through its __str__;
// nullopt for a str that no file name can spell.
std::optional<std::string> path_argument(const ParameterDescription& description,
                                         PyObject* args, PyObject* kwargs);

// An index key as a tree id, through the index protocol; negative or too large keys give the
// interpreter's OverflowError.
std::uint64_t tree_id_argument(PyObject* key);

}  // namespace treetally::python
