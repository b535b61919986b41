#include "python/runtime/runtime.hpp"

#include <array>
#include <cstdio>
#include <new>

#include "base/messages.hpp"
#include "python/runtime/binding_messages.hpp"

namespace treetally::python {
namespace {

[[noreturn]] void fail_printing_pending(std::string_view message, std::source_location where) {
    if (PyErr_Occurred() != nullptr) PyErr_PrintEx(0);
    fail(std::string(message), where);
}

// The repr() of the pending exception as UTF-8, taking it out of the interpreter.
std::string pending_exception_text() {
    const PendingException pending = PendingException::fetch();
    if (pending.value() == nullptr) return "no exception set";
    const PyRef repr = attempt(PyObject_Repr(pending.value()));
    const PyRef encoded = repr ? attempt(PyUnicode_AsUTF8String(repr.get())) : PyRef{};
    if (!encoded) return "<unprintable exception>";
    return std::string(bytes_of(encoded));
}

constexpr const char* panic_exception_doc =
    "The exception raised when the native code of a Quarrow module fails fatally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "normally propagates through the whole stack and ends the interpreter.";

// The source path from its "src/" component on, so reports do not depend on the build tree.
std::string_view project_relative(std::string_view file) {
    const std::size_t cut = file.rfind("/src/");
    return cut == std::string_view::npos ? file : file.substr(cut + 1);
}

void report_on_stderr(const FatalError& error) {
    const std::source_location& where = error.where();
    const std::string_view file = project_relative(where.file_name());
    // File and line are enough to find the place; the compiler's full signature is noise.
    std::fprintf(stderr, "treetally: fatal error at %.*s:%u: %s\n", static_cast<int>(file.size()),
                 file.data(), static_cast<unsigned>(where.line()), error.message().c_str());
    std::fflush(stderr);
}

// The text of a fatal error as a str; "replace" keeps a message that is not valid UTF-8 from
// hiding the failure. Null with MemoryError pending when even that fails.
PyRef message_text(const FatalError& error) {
    const std::string& message = error.message();
    return PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

// What each kind becomes in the engine: the class's name, its place in the hierarchy and its
// docstring. Indexed by ErrorKind.
enum class ErrorBase { exception, tree_read_error, engine_error_and_value_error };
struct ErrorClassSpec {
    const char* name;
    ErrorBase base;
    const char* doc;
};
constexpr std::array<ErrorClassSpec, error_kind_count> error_class_specs{{
    {"treetally_tools._engine.EngineError", ErrorBase::exception,
     "A failure of the native engine; the message is the core's own text. Raised as such, "
     "it is a fault of the engine; its subclasses name faults of the input or the request."},
    {"treetally_tools._engine.FileOpenError", ErrorBase::tree_read_error,
     "The tree file cannot be opened."},
    {"treetally_tools._engine.FileReadError", ErrorBase::tree_read_error,
     "Reading the tree file failed, or a line of it is not UTF-8 text."},
    {"treetally_tools._engine.LineTooLongError", ErrorBase::tree_read_error,
     "A line of the tree file is longer than the load's cap."},
    {"treetally_tools._engine.BranchLengthError", ErrorBase::tree_read_error,
     "A branch length is not a number."},
    {"treetally_tools._engine.SupportLabelError", ErrorBase::tree_read_error,
     "An internal label is not a support value, where a support bound reads them."},
    {"treetally_tools._engine.TreeSizeError", ErrorBase::tree_read_error,
     "The trees name more taxa, or hold more nodes, than the engine can number."},
    {"treetally_tools._engine.TaxonNotFoundError", ErrorBase::engine_error_and_value_error,
     "A name that no tree of the set holds."},
}};
constexpr const char* tree_read_error_name = "treetally_tools._engine.TreeReadError";
constexpr const char* tree_read_error_doc =
    "Input that cannot be read as trees; each subclass names one way of it.";

// The classes by kind, and TreeReadError; empty until raise_fatal_errors_by_kind, and in a
// module that never calls it.
std::array<PyObject*, error_kind_count> classes_by_kind{};
PyObject* tree_read_error_class = nullptr;

PyObject* new_error_class(const char* name, const char* doc, PyObject* base) {
    return checked(PyErr_NewExceptionWithDoc(name, doc, base, nullptr)).release();
}

// Creates every class, or none (a failure leaves its exception pending and passes it on).
void create_error_classes() {
    const auto index = [](ErrorKind kind) { return static_cast<std::size_t>(kind); };
    PyRef engine_error = PyRef::steal(
        new_error_class(error_class_specs[index(ErrorKind::internal)].name,
                        error_class_specs[index(ErrorKind::internal)].doc, PyExc_Exception));
    PyRef tree_read_error = PyRef::steal(
        new_error_class(tree_read_error_name, tree_read_error_doc, engine_error.get()));
    const PyRef value_error_bases = checked(PyTuple_Pack(2, engine_error.get(), PyExc_ValueError));
    std::array<PyRef, error_kind_count> made;
    for (std::size_t k = 0; k < error_kind_count; ++k) {
        const ErrorClassSpec& spec = error_class_specs[k];
        if (k == index(ErrorKind::internal)) continue;
        PyObject* base = spec.base == ErrorBase::tree_read_error ? tree_read_error.get()
                                                                 : value_error_bases.get();
        made[k] = PyRef::steal(new_error_class(spec.name, spec.doc, base));
    }
    made[index(ErrorKind::internal)] = std::move(engine_error);
    for (std::size_t k = 0; k < error_kind_count; ++k) classes_by_kind[k] = made[k].release();
    tree_read_error_class = tree_read_error.release();
}

// The name a class goes by in its module: the last part of its dotted name.
const char* short_name(const char* dotted) {
    const std::string_view name = dotted;
    return dotted + name.rfind('.') + 1;
}

void add_to_module(PyObject* module, const char* dotted_name, PyObject* type) {
    check_status(
        PyModule_AddObject(module, short_name(dotted_name), PyRef::borrow(type).release()));
}

// The exception of `type` with the message `text` and, as its attribute line_number, the line
// the failure was met on; null with an exception pending when it cannot be made.
PyRef error_on_line(PyObject* type, const PyRef& text, std::size_t line_number) {
    PyRef made = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!made) return made;
    const PyRef line = PyRef::steal(PyLong_FromSize_t(line_number));
    if (!line || PyObject_SetAttrString(made.get(), "line_number", line.get()) != 0) return {};
    return made;
}

void raise_by_kind(const FatalError& error) {
    const PyRef text = message_text(error);
    if (!text) return;  // MemoryError is pending
    PyObject* type = error_class(error.kind());
    if (error.line_number() == 0) {
        PyErr_SetObject(type, text.get());
        return;
    }
    const PyRef made = error_on_line(type, text, error.line_number());
    if (made) PyErr_SetObject(type, made.get());
}

}  // namespace

void raise_fatal_errors_by_kind(PyObject* module) {
    if (tree_read_error_class == nullptr) create_error_classes();
    for (std::size_t k = 0; k < error_kind_count; ++k)
        add_to_module(module, error_class_specs[k].name, classes_by_kind[k]);
    add_to_module(module, tree_read_error_name, tree_read_error_class);
}

PyObject* error_class(ErrorKind kind) {
    // cppcheck 2.10 takes the array's pointer elements for integers here.
    // cppcheck-suppress CastIntegerToAddressAtReturn
    return classes_by_kind[static_cast<std::size_t>(kind)];
}

void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_python_error();
}

void raise_error(PyObject* type, const PyRef& message) {
    PyErr_SetObject(type, message.get());
    throw_python_error();
}

void raise_error(PyObject* type) {
    PyErr_SetNone(type);
    throw_python_error();
}

PyRef attempt(PyObject* object) {
    if (object == nullptr) PyErr_Clear();
    return PyRef::steal(object);
}

PyRef checked_or_fatal(PyObject* object, std::string_view message, std::source_location where) {
    if (object == nullptr) fail_printing_pending(message, where);
    return PyRef::steal(object);
}

void check_status_or_fatal(int status, std::string_view message, std::source_location where) {
    if (status < 0) fail_printing_pending(message, where);
}

void fail_unwrapping_pending(std::source_location where) {
    fail(messages::unwrap_err_prefix + pending_exception_text(), where);
}

PendingException PendingException::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
    PendingException pending;
    pending.type_ = PyRef::steal(type);
    pending.value_ = PyRef::steal(value);
    pending.traceback_ = PyRef::steal(traceback);
    return pending;
}

void PendingException::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PendingException::restore_as(PyRef value) && {
    PyErr_Restore(type_.release(), value.release(), nullptr);
}

std::string_view bytes_of(const PyRef& bytes) {
    char* data = PyBytes_AsString(bytes.get());
    if (data == nullptr) throw_python_error();
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (size < 0) throw_python_error();
    return {data, static_cast<std::size_t>(size)};
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const FatalError& error) {
        if (tree_read_error_class != nullptr) {
            raise_by_kind(error);
        } else {
            raise_panic(error);
        }
    } catch (const PythonErrorSet&) {
        // A helper claimed an exception was pending; make sure the caller never sees a null
        // result without one.
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, messages::no_exception_pending);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in treetally");
    }
}

PyObject* panic_exception_type() {
    // Created under the interpreter lock, so no two threads can both create it.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("quarrow_runtime.PanicException", panic_exception_doc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) Py_FatalError(messages::panic_exception_not_created);
    }
    return type;
}

void raise_panic(const FatalError& error) {
    report_on_stderr(error);
    PyObject* type = panic_exception_type();
    const PyRef text = message_text(error);
    if (!text) return;  // MemoryError is pending
    PyErr_SetObject(type, text.get());
}

PyTypeObject* create_heap_type(PyType_Spec& spec) {
    const std::string_view qualified_name = spec.name;
    const std::string_view class_name = qualified_name.substr(qualified_name.rfind('.') + 1);
    PyRef type = checked_or_fatal(PyType_FromSpec(&spec),
                                  messages::type_not_created_prefix + std::string(class_name));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void free_heap_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, messages::no_constructor);
    return nullptr;
}

bool is_instance_of(PyObject* object, PyTypeObject* type) {
    return PyType_IsSubtype(Py_TYPE(object), type) != 0;
}

}  // namespace treetally::python
