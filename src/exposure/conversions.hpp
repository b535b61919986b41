// Conversion of the Python arguments (names, path, tree id) into plain values, with the
// type-mismatch TypeError and the "argument 'NAME': " wrapping of conversion failures.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "exposure/py_ref.hpp"
#include "exposure/python_error_set.hpp"

namespace treetally::python {

// Sets TypeError "'<type qualname>' object cannot be converted to '<target>'" and unwinds.
[[noreturn]] void fail_type_mismatch(PyObject* object, const char* target);

// Replaces a pending exception of exactly TypeError by one whose message is prefixed with
// "argument '<parameter>': " and that keeps the original __cause__; other types stay as they are.
void prefix_argument_error(const char* parameter);

// Runs one argument's conversion, prefixing its TypeError with the parameter's name.
template <class Conversion>
auto convert_argument(const char* parameter, Conversion&& conversion) {
    try {
        return conversion();
    } catch (const PythonErrorSet&) {
        prefix_argument_error(parameter);
        throw;
    }
}

// The UTF-8 encodings of the items of a `names` tuple, alive as long as this object; the
// views point into the interpreter's bytes objects, so no name is copied.
template <std::size_t N>
struct EncodedNames {
    std::array<PyRef, N> encodings;
    std::array<std::string_view, N> names;
};

// Checks that `object` is a tuple (or tuple subclass) of exactly `count` items.
void check_names_tuple(PyObject* object, std::size_t count);
// The UTF-8 encoding of item `index` of a checked tuple; the item must be a str.
PyRef encode_name_item(PyObject* tuple, std::size_t index);
// The bytes of an encoding made by encode_name_item.
std::string_view encoded_bytes(const PyRef& encoding);

// Converts a `names` argument of exactly N str items, item 0 first; the first failing item
// ends the conversion. Errors are unprefixed: wrap the call in convert_argument("names", ...).
template <std::size_t N>
EncodedNames<N> convert_names(PyObject* object) {
    check_names_tuple(object, N);
    EncodedNames<N> result;
    for (std::size_t k = 0; k < N; ++k) {
        result.encodings[k] = encode_name_item(object, k);
        result.names[k] = encoded_bytes(result.encodings[k]);
    }
    return result;
}

// Converts a `path` argument (a str, or a pathlib.Path through its __str__) to a file name.
std::string convert_path(PyObject* object);

// Converts an index key to an unsigned 64-bit tree id through the index protocol; negative or
// too large keys give the interpreter's OverflowError.
std::uint64_t convert_tree_id(PyObject* key);

}  // namespace treetally::python
