// The arguments of a call with several parameters, as the engine's functions and the Table
// constructor take them: gathered by name from the positional tuple and the keyword dict, then
// converted one parameter at a time, with errors in the interpreter's own wording. Also the
// pieces of argument checking that the module's single-parameter convention shares.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "python/runtime/runtime.hpp"

namespace treetally::python {

// The __qualname__ of the object's type, or the stand-in when it cannot be read as a str.
PyRef type_name(PyObject* object);

// Whether the keyword `key` (a str) is `parameter`; false when it has no UTF-8 form.
bool keyword_names(PyObject* key, std::string_view parameter);

// The arguments of one call by parameter name. The first `required` parameters must be given;
// the others may be left out, and their accessors then give the default. A name the table
// lacks is a fault of the caller's code (a fatal error), not of the Python caller.
class ArgumentList {
  public:
    static constexpr std::size_t most_parameters = 16;

    ArgumentList(const char* function, std::initializer_list<const char*> parameters,
                 std::size_t required, PyObject* args, PyObject* kwargs);

    // The object given (borrowed), or `fallback` when it was left out.
    PyObject* object(std::string_view name, PyObject* fallback = nullptr) const;
    // A str without NUL characters, as UTF-8.
    std::string text(std::string_view name) const;
    // A str, or nullopt for None or when left out.
    std::optional<std::string> optional_text(std::string_view name) const;
    // The truth value of any object, as `if` reads it.
    bool flag(std::string_view name, bool fallback) const;
    // An int (or an object with __index__) within the range of a C int.
    int int_value(std::string_view name) const;
    // An int (or an object with __index__) within the range of Py_ssize_t.
    Py_ssize_t size_value(std::string_view name, Py_ssize_t fallback = 0) const;
    // A non-negative int that fits 64 bits; a negative one is OverflowError, never wrapped.
    std::uint64_t unsigned_value(std::string_view name) const;
    // A float, an int or an object with __float__.
    double real(std::string_view name) const;
    // A sequence of exactly N non-negative ints that fit 64 bits.
    template <std::size_t N>
    std::array<std::uint64_t, N> unsigned_values(std::string_view name) const {
        std::array<std::uint64_t, N> values{};
        read_unsigned_sequence(name, values.data(), N);
        return values;
    }

  private:
    // The place of `name` in the parameter table.
    std::size_t place(std::string_view name) const;
    // The object given, or null when it was left out.
    PyObject* given(std::string_view name) const;
    // The object given; asking for one left out with no default is a fatal error.
    PyObject* present(std::string_view name) const;
    [[noreturn]] void fail_type(std::string_view name, const char* expected,
                                PyObject* value) const;
    void read_unsigned_sequence(std::string_view name, std::uint64_t* values,
                                std::size_t count) const;

    const char* function_;
    std::array<const char*, most_parameters> parameters_{};
    std::array<PyObject*, most_parameters> values_{};
    std::size_t count_ = 0;
};

// An int (or an object with __index__) as Py_ssize_t, with the interpreter's errors.
Py_ssize_t index_value(PyObject* object);

}  // namespace treetally::python
