#include "exposure/conversions.hpp"

#include <string>

namespace treetally::python {
namespace {

// The __qualname__ of the object's type, or null (with no exception pending) if unreadable.
PyRef type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return PyRef{};
    }
    return name;
}

// The file name for a str path: its UTF-8 form, or, for a str holding surrogates (as
// os.listdir returns for undecodable names), the file system encoding's bytes.
std::string path_from_str(PyObject* text) {
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(text));
    if (!encoded) {
        PyErr_Clear();
        encoded = checked(PyUnicode_EncodeFSDefault(text));
    }
    const std::string_view bytes = encoded_bytes(encoded);
    // The file is opened by a C string: an embedded NUL would silently open a shorter name.
    if (bytes.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        throw_python_error();
    }
    return std::string(bytes);
}

bool is_pathlib_path(PyObject* object) {
    PyRef module_name = checked(PyUnicode_FromString("pathlib"));
    PyRef pathlib = checked(PyImport_Import(module_name.get()));
    PyRef path_class = checked(PyObject_GetAttrString(pathlib.get(), "Path"));
    const int is_instance = PyObject_IsInstance(object, path_class.get());
    check_status(is_instance);
    return is_instance == 1;
}

}  // namespace

void fail_type_mismatch(PyObject* object, const char* target) {
    PyRef name = type_qualname(object);
    PyRef message =
        name ? checked(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(),
                                            target))
             : checked(PyUnicode_FromFormat(
                   "'<failed to extract type name>' object cannot be converted to '%s'", target));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw_python_error();
}

void prefix_argument_error(const char* parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    if (type != PyExc_TypeError || value == nullptr) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        return;
    }

    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    PyRef replacement =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return;
    // PyException_SetCause steals the reference that PyException_GetCause returns.
    if (PyObject* cause = PyException_GetCause(value))
        PyException_SetCause(replacement.get(), cause);
    PyErr_Restore(owned_type.release(), replacement.release(), nullptr);
}

void check_names_tuple(PyObject* object, std::size_t count) {
    if (!PyTuple_Check(object)) fail_type_mismatch(object, "PyTuple");
    const Py_ssize_t length = PyTuple_Size(object);
    if (length < 0) throw_python_error();
    if (static_cast<std::size_t>(length) != count) {
        const std::string message = "expected tuple of length " + std::to_string(count) +
                                    ", but got tuple of length " + std::to_string(length);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        throw_python_error();
    }
}

PyRef encode_name_item(PyObject* tuple, std::size_t index) {
    PyObject* item = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(index));  // borrowed
    if (item == nullptr) throw_python_error();
    if (!PyUnicode_Check(item)) fail_type_mismatch(item, "PyString");
    return checked(PyUnicode_AsUTF8String(item));
}

std::string_view encoded_bytes(const PyRef& encoding) {
    char* bytes = PyBytes_AsString(encoding.get());
    if (bytes == nullptr) throw_python_error();
    const Py_ssize_t size = PyBytes_Size(encoding.get());
    if (size < 0) throw_python_error();
    return {bytes, static_cast<std::size_t>(size)};
}

std::string convert_path(PyObject* object) {
    if (PyUnicode_Check(object)) return path_from_str(object);
    if (!is_pathlib_path(object)) fail_type_mismatch(object, "PyString");

    PyRef str_method = checked(PyObject_GetAttrString(object, "__str__"));
    PyRef text = checked(PyObject_CallObject(str_method.get(), nullptr));
    if (!PyUnicode_Check(text.get())) fail_type_mismatch(text.get(), "PyString");
    return path_from_str(text.get());
}

std::uint64_t convert_tree_id(PyObject* key) {
    PyRef index = checked(PyNumber_Index(key));
    const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
    if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr)
        throw_python_error();
    return id;
}

}  // namespace treetally::python
