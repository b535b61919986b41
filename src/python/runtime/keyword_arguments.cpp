#include "python/runtime/keyword_arguments.hpp"

#include <algorithm>
#include <climits>
#include <utility>

#include "base/fatal_error.hpp"
#include "python/runtime/binding_messages.hpp"

namespace treetally::python {
namespace {

std::string plural(std::size_t count) { return count == 1 ? " argument" : " arguments"; }

// The exact int an object stands for through __index__; a TypeError of that protocol becomes
// `fail`'s (the caller's message names the parameter).
template <class Fail>
PyRef index_of(PyObject* value, Fail&& fail) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) throw_python_error();
        PyErr_Clear();
        std::forward<Fail>(fail)();
    }
    return index;
}

std::uint64_t unsigned_of(const PyRef& index) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)
        throw_python_error();
    return value;
}

Py_ssize_t size_of(const PyRef& index) {
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred() != nullptr) throw_python_error();
    return value;
}

}  // namespace

PyRef type_name(PyObject* object) {
    PyRef name = attempt(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) return name;
    return checked(PyUnicode_FromString(messages::unreadable_type_name));
}

bool keyword_names(PyObject* key, std::string_view parameter) {
    const PyRef encoded = attempt(PyUnicode_AsUTF8String(key));
    return encoded && bytes_of(encoded) == parameter;
}

ArgumentList::ArgumentList(const char* function, std::initializer_list<const char*> parameters,
                           std::size_t required, PyObject* args, PyObject* kwargs)
    : function_(function), count_(parameters.size()) {
    if (count_ > most_parameters || required > count_)
        fail("a parameter table holds at most " + std::to_string(most_parameters) + " names");
    std::copy(parameters.begin(), parameters.end(), parameters_.begin());
    const std::string name = std::string(function_) + "()";

    const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
    if (positional < 0) throw_python_error();
    const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    if (keywords < 0) throw_python_error();
    const auto given = static_cast<std::size_t>(positional + keywords);
    if (static_cast<std::size_t>(positional) > count_ || given < required) {
        const bool too_many = static_cast<std::size_t>(positional) > count_;
        const std::size_t bound = too_many ? count_ : required;
        const char* how = required == count_ ? messages::exactly
                          : too_many         ? messages::at_most
                                             : messages::at_least;
        const std::string message = name + messages::takes + how + std::to_string(bound) +
                                    plural(bound) + " (" +
                                    std::to_string(too_many ? positional : given) + " given)";
        raise_error(PyExc_TypeError, message.c_str());
    }
    for (Py_ssize_t k = 0; k < positional; ++k) {
        values_[static_cast<std::size_t>(k)] = PyTuple_GetItem(args, k);
        if (values_[static_cast<std::size_t>(k)] == nullptr) throw_python_error();
    }

    Py_ssize_t cursor = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &cursor, &key, &value)) {
        if (!PyUnicode_Check(key)) raise_error(PyExc_TypeError, messages::keywords_not_strings);
        std::size_t k = 0;
        while (k < count_ && !keyword_names(key, parameters_[k])) ++k;
        if (k == count_) {
            const PyRef text = checked(PyObject_Str(key));
            // %U keeps a keyword with no UTF-8 form printable in the message.
            raise_error(PyExc_TypeError,
                        checked(PyUnicode_FromFormat("'%U%s%s", text.get(),
                                                     messages::invalid_keyword, name.c_str())));
        }
        if (values_[k] != nullptr) {
            const std::string message = messages::argument_for + name + messages::given_by_name + parameters_[k] +
                                        "') and position (" + std::to_string(k + 1) + ")";
            raise_error(PyExc_TypeError, message.c_str());
        }
        values_[k] = value;
    }

    for (std::size_t k = 0; k < required; ++k) {
        if (values_[k] != nullptr) continue;
        const std::string message = name + messages::missing_required + parameters_[k] +
                                    "' (pos " + std::to_string(k + 1) + ")";
        raise_error(PyExc_TypeError, message.c_str());
    }
}

std::size_t ArgumentList::place(std::string_view name) const {
    for (std::size_t k = 0; k < count_; ++k)
        if (name == parameters_[k]) return k;
    fail(std::string(function_) + "() has no parameter " + std::string(name));
}

PyObject* ArgumentList::given(std::string_view name) const { return values_[place(name)]; }

PyObject* ArgumentList::present(std::string_view name) const {
    PyObject* value = given(name);
    if (value == nullptr) fail(std::string(function_) + "() reads " + std::string(name) + " with no default");
    return value;
}

void ArgumentList::fail_type(std::string_view name, const char* expected, PyObject* value) const {
    const std::string parameter(name);
    raise_error(PyExc_TypeError,
                checked(PyUnicode_FromFormat("%s() argument '%s' must be %s, not %U", function_,
                                             parameter.c_str(), expected,
                                             type_name(value).get())));
}

PyObject* ArgumentList::object(std::string_view name, PyObject* fallback) const {
    PyObject* value = given(name);
    return value == nullptr ? fallback : value;
}

std::string ArgumentList::text(std::string_view name) const {
    PyObject* value = present(name);
    if (!PyUnicode_Check(value)) fail_type(name, "str", value);
    const PyRef encoded = checked(PyUnicode_AsUTF8String(value));
    const std::string_view bytes = bytes_of(encoded);
    // The text reaches C strings: an embedded NUL would silently cut it short.
    if (bytes.find('\0') != std::string_view::npos)
        raise_error(PyExc_ValueError, messages::embedded_null_character);
    return std::string(bytes);
}

std::optional<std::string> ArgumentList::optional_text(std::string_view name) const {
    PyObject* value = given(name);
    if (value == nullptr || value == Py_None) return std::nullopt;
    if (!PyUnicode_Check(value)) fail_type(name, "str or None", value);
    return text(name);
}

bool ArgumentList::flag(std::string_view name, bool fallback) const {
    PyObject* value = given(name);
    if (value == nullptr) return fallback;
    const int truth = PyObject_IsTrue(value);
    check_status(truth);
    return truth == 1;
}

int ArgumentList::int_value(std::string_view name) const {
    PyObject* value = present(name);
    const PyRef index = index_of(value, [&] { fail_type(name, "int", value); });
    const long number = PyLong_AsLong(index.get());
    if (number == -1 && PyErr_Occurred() != nullptr) throw_python_error();
    if (number > INT_MAX) raise_error(PyExc_OverflowError, messages::int_above_maximum);
    if (number < INT_MIN) raise_error(PyExc_OverflowError, messages::int_below_minimum);
    return static_cast<int>(number);
}

Py_ssize_t ArgumentList::size_value(std::string_view name, Py_ssize_t fallback) const {
    PyObject* value = given(name);
    if (value == nullptr) return fallback;
    return size_of(index_of(value, [&] { fail_type(name, "int", value); }));
}

std::uint64_t ArgumentList::unsigned_value(std::string_view name) const {
    PyObject* value = present(name);
    return unsigned_of(index_of(value, [&] { fail_type(name, "int", value); }));
}

double ArgumentList::real(std::string_view name) const {
    const double number = PyFloat_AsDouble(present(name));
    if (number == -1.0 && PyErr_Occurred() != nullptr) throw_python_error();
    return number;
}

void ArgumentList::read_unsigned_sequence(std::string_view name, std::uint64_t* values,
                                          std::size_t count) const {
    PyObject* value = present(name);
    const std::string expected = "a sequence of " + std::to_string(count) + " ints";
    if (PySequence_Check(value) == 0 || PyUnicode_Check(value) || PyBytes_Check(value))
        fail_type(name, expected.c_str(), value);
    const Py_ssize_t length = PySequence_Size(value);
    if (length < 0) throw_python_error();
    if (static_cast<std::size_t>(length) != count) {
        const std::string message = std::string(function_) + "() argument '" + std::string(name) +
                                    "' must hold " + std::to_string(count) + " items, not " +
                                    std::to_string(length);
        raise_error(PyExc_TypeError, message.c_str());
    }
    for (std::size_t k = 0; k < count; ++k) {
        const PyRef item = checked(PySequence_GetItem(value, static_cast<Py_ssize_t>(k)));
        values[k] = unsigned_of(index_of(item.get(), [&] {
            // reads "argument 'counts' item '1' must be int, not float"
            const std::string item_name = std::string(name) + "' item '" + std::to_string(k);
            fail_type(item_name, "int", item.get());
        }));
    }
}

Py_ssize_t index_value(PyObject* object) {
    return size_of(checked(PyNumber_Index(object)));
}

}  // namespace treetally::python
