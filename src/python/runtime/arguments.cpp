#include "python/runtime/arguments.hpp"

#include <optional>
#include <utility>

#include "base/messages.hpp"
#include "python/runtime/binding_messages.hpp"
#include "python/runtime/keyword_arguments.hpp"

namespace treetally::python {
namespace {

std::string full_name(const ParameterDescription& description) {
    return std::string(description.class_name) + "." + description.operation + "()";
}

[[noreturn]] void fail_too_many_positional(const ParameterDescription& description,
                                           Py_ssize_t given) {
    const std::string message = full_name(description) + messages::too_many_positional +
                                std::to_string(given) +
                                (given == 1 ? messages::was_given : messages::were_given);
    raise_error(PyExc_TypeError, message.c_str());
}

// TypeError "Class.method()<text>'<parameter>'" for a parameter given twice or not at all.
[[noreturn]] void fail_about_parameter(const ParameterDescription& description,
                                       const char* text) {
    const std::string message = full_name(description) + text + description.parameter + "'";
    raise_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void fail_unexpected_keyword(const ParameterDescription& description, PyObject* key) {
    const PyRef key_text = checked(PyObject_Str(key));
    // %U keeps a keyword that has no UTF-8 form printable in the message.
    const PyRef message = checked(PyUnicode_FromFormat(
        "%s%s%U'", full_name(description).c_str(), messages::unexpected_keyword, key_text.get()));
    raise_error(PyExc_TypeError, message);
}

// The object given for the parameter (borrowed from `args` or `kwargs`, which may be null).
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
            if (!keyword_names(key, description.parameter))
                fail_unexpected_keyword(description, key);
            if (value != nullptr) fail_about_parameter(description, messages::multiple_values);
            value = keyword_value;
        }
    }

    if (value == nullptr) fail_about_parameter(description, messages::missing_argument);
    return value;
}

// Replaces a pending exception of exactly TypeError by one whose message is prefixed with
// "argument '<parameter>': " and that keeps the original __cause__; other types stay as they are.
void prefix_argument_error(const char* parameter) {
    PendingException pending = PendingException::fetch();
    if (pending.type() != PyExc_TypeError || pending.value() == nullptr) {
        std::move(pending).restore();
        return;
    }
    const PyRef text = checked(PyObject_Str(pending.value()));
    const PyRef message =
        checked(PyUnicode_FromFormat("%s%s%s%U", messages::argument_error_prefix, parameter,
                                     messages::argument_error_middle, text.get()));
    PyRef replacement =
        checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    // PyException_SetCause steals the reference that PyException_GetCause returns.
    if (PyObject* cause = PyException_GetCause(pending.value()))
        PyException_SetCause(replacement.get(), cause);
    std::move(pending).restore_as(std::move(replacement));
}

// Runs one argument's conversion, prefixing its TypeError with the parameter's name.
template <class Conversion>
auto convert_argument(const char* parameter, Conversion&& conversion) {
    try {
        return std::forward<Conversion>(conversion)();
    } catch (const PythonErrorSet&) {
        prefix_argument_error(parameter);
        throw;
    }
}

void check_names_tuple(PyObject* object, std::size_t count) {
    if (!PyTuple_Check(object)) fail_type_mismatch(object, "PyTuple");
    const Py_ssize_t length = PyTuple_Size(object);
    if (length < 0) throw_python_error();
    if (static_cast<std::size_t>(length) != count) {
        const std::string message = messages::tuple_length_prefix + std::to_string(count) +
                                    messages::tuple_length_middle + std::to_string(length);
        raise_error(PyExc_ValueError, message.c_str());
    }
}

// The UTF-8 encoding of item `index` of a checked tuple; the item must be a str.
PyRef encode_name_item(PyObject* tuple, std::size_t index) {
    PyObject* item = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(index));  // borrowed
    if (item == nullptr) throw_python_error();
    if (!PyUnicode_Check(item)) fail_type_mismatch(item, "PyString");
    return checked(PyUnicode_AsUTF8String(item));
}

// The file name for a str path: its UTF-8 form, or, for a str holding surrogates (as
// os.listdir returns for undecodable names), the file system encoding's bytes; nullopt when
// it has neither (a lone surrogate outside the escape range), as then no file bears it.
std::optional<std::string> path_from_str(PyObject* text) {
    PyRef encoded = attempt(PyUnicode_AsUTF8String(text));
    if (!encoded) encoded = PyRef::steal(PyUnicode_EncodeFSDefault(text));
    if (!encoded) {
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) throw_python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    const std::string_view bytes = bytes_of(encoded);
    // The file is opened by a C string: an embedded NUL would silently open a shorter name.
    if (bytes.find('\0') != std::string_view::npos)
        raise_error(PyExc_ValueError, messages::embedded_null_byte);
    return std::string(bytes);
}

bool is_pathlib_path(PyObject* object) {
    const PyRef module_name = checked(PyUnicode_FromString("pathlib"));
    const PyRef pathlib = checked(PyImport_Import(module_name.get()));
    const PyRef path_class = checked(PyObject_GetAttrString(pathlib.get(), "Path"));
    const int is_instance = PyObject_IsInstance(object, path_class.get());
    check_status(is_instance);
    return is_instance == 1;
}

std::optional<std::string> convert_path(PyObject* object) {
    if (PyUnicode_Check(object)) return path_from_str(object);
    if (!is_pathlib_path(object)) fail_type_mismatch(object, "PyString");

    const PyRef str_method = checked(PyObject_GetAttrString(object, "__str__"));
    const PyRef text = checked(PyObject_CallObject(str_method.get(), nullptr));
    if (!PyUnicode_Check(text.get())) fail_type_mismatch(text.get(), "PyString");
    return path_from_str(text.get());
}

std::uint64_t convert_tree_id(PyObject* key) {
    const PyRef index = checked(PyNumber_Index(key));
    const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)
        throw_python_error();
    return id;
}

}  // namespace

void fail_type_mismatch(PyObject* object, const char* target) {
    const PyRef message = checked(PyUnicode_FromFormat(
        "'%U%s%s'", type_name(object).get(), messages::cannot_be_converted, target));
    raise_error(PyExc_TypeError, message);
}

void read_names_argument(const ParameterDescription& description, PyObject* args,
                         PyObject* kwargs, std::span<PyRef> encodings,
                         std::span<std::string_view> names) {
    PyObject* tuple = parse_single_argument(description, args, kwargs);
    convert_argument("names", [&] {
        check_names_tuple(tuple, encodings.size());
        for (std::size_t k = 0; k < encodings.size(); ++k) {
            encodings[k] = encode_name_item(tuple, k);
            names[k] = bytes_of(encodings[k]);
        }
    });
}

std::optional<std::string> path_argument(const ParameterDescription& description,
                                         PyObject* args, PyObject* kwargs) {
    PyObject* path = parse_single_argument(description, args, kwargs);
    return convert_argument("path", [&] { return convert_path(path); });
}

std::uint64_t tree_id_argument(PyObject* key) {
    return convert_argument("id", [&] { return convert_tree_id(key); });
}

}  // namespace treetally::python
