#include "exposure/argument_parsing.hpp"

#include <cstring>
#include <string>

#include "exposure/conversions.hpp"
#include "exposure/py_ref.hpp"
#include "exposure/python_error_set.hpp"

namespace treetally::python {
namespace {

std::string full_name(const ParameterDescription& description) {
    return std::string(description.class_name) + "." + description.operation + "()";
}

[[noreturn]] void fail_too_many_positional(const ParameterDescription& description,
                                           Py_ssize_t given) {
    const std::string message = full_name(description) + " takes 1 positional arguments but " +
                                std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

[[noreturn]] void fail_multiple_values(const ParameterDescription& description) {
    const std::string message = full_name(description) + " got multiple values for argument '" +
                                description.parameter + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

[[noreturn]] void fail_unexpected_keyword(const ParameterDescription& description, PyObject* key) {
    PyRef key_text = checked(PyObject_Str(key));
    // %U keeps a keyword that has no UTF-8 form printable in the message.
    PyRef message = checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                 full_name(description).c_str(), key_text.get()));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_python_error();
}

[[noreturn]] void fail_missing(const ParameterDescription& description) {
    const std::string message = full_name(description) +
                                " missing 1 required positional argument: '" +
                                description.parameter + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw_python_error();
}

// Whether the keyword `key` (a str) names the parameter; false when it has no UTF-8 form.
bool names_parameter(PyObject* key, const char* parameter) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(key));
    if (!encoded) {
        PyErr_Clear();
        return false;
    }
    const char* bytes = PyBytes_AsString(encoded.get());
    const Py_ssize_t size = PyBytes_Size(encoded.get());
    return bytes != nullptr && static_cast<std::size_t>(size) == std::strlen(parameter) &&
           std::memcmp(bytes, parameter, static_cast<std::size_t>(size)) == 0;
}

}  // namespace

PyObject* parse_single_argument(const ParameterDescription& description, PyObject* args,
                                PyObject* kwargs) {
    const Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
    if (positional < 0) throw_python_error();
    if (positional > 1) fail_too_many_positional(description, positional);

    PyObject* value = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (positional == 1 && value == nullptr) throw_python_error();

    if (kwargs != nullptr) {
        Py_ssize_t cursor = 0;
        PyObject* key = nullptr;
        PyObject* keyword_value = nullptr;
        while (PyDict_Next(kwargs, &cursor, &key, &keyword_value)) {
            if (!PyUnicode_Check(key)) fail_type_mismatch(key, "PyString");
            if (!names_parameter(key, description.parameter))
                fail_unexpected_keyword(description, key);
            if (value != nullptr) fail_multiple_values(description);
            value = keyword_value;
        }
    }

    if (value == nullptr) fail_missing(description);
    return value;
}

}  // namespace treetally::python
