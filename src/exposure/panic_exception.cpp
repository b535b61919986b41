#include "exposure/panic_exception.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "exposure/py_ref.hpp"

namespace treetally::python {
namespace {

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

}  // namespace

PyObject* panic_exception_type() {
    // Created under the interpreter lock, so no two threads can both create it.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("quarrow_runtime.PanicException", panic_exception_doc,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) Py_FatalError("Failed to initialize new exception type.");
    }
    return type;
}

void raise_panic(const FatalError& error) {
    report_on_stderr(error);
    PyObject* type = panic_exception_type();
    const std::string& message = error.message();
    // "replace" keeps a message that is not valid UTF-8 from hiding the failure.
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // MemoryError is pending
    PyErr_SetObject(type, text.get());
}

}  // namespace treetally::python
