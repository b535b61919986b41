// The plumbing every part of the binding stands on: the owning reference handle, the rule for a
// failed Python-API call, the one boundary function, PanicException and heap-type creation.
#pragma once

#include <Python.h>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "base/fatal_error.hpp"

namespace treetally::python {

// An owning handle to one Python object reference, released when the handle goes away.
// Keeps reference counting out of the method bodies: every new reference lands in a PyRef.
class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference (may be null, e.g. straight from a failed API call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference to a borrowed object.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's result).
    PyObject* release() { return std::exchange(object_, nullptr); }

  private:
    explicit PyRef(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

// The marker for "a Python exception is already pending": it unwinds to the boundary, which
// then only has to return the error indicator.
class PythonErrorSet : public std::exception {
  public:
    const char* what() const noexcept override { return "a Python exception is pending"; }
};

// What becomes of a failed Python-API call (it returned null or -1 and left an exception
// pending) is decided by these helpers alone, by what the contract makes of the failure:
// - passed on (the rule): checked(), check_status() and throw_python_error() unwind with
//   PythonErrorSet; the boundary returns the error indicator and the caller sees the
//   interpreter's exception unchanged. raise_error() sets an exception of the module's own and
//   passes it on the same way.
// - fallback: attempt() clears the exception where the contract names another way on (a
//   keyword with no UTF-8 form, an unreadable type name, a path with no UTF-8 form; likewise a
//   module with no __all__ yet, for AttributeError alone).
// - fatal: checked_or_fatal() and check_status_or_fatal(), for the calls whose failure the
//   contract makes a fatal error (building a result, creating a type, filling __all__): the
//   pending exception is printed with the interpreter's printer, which also clears it (the
//   first PanicException cannot be created while one is pending), and the fatal error reaches
//   Python as PanicException.
// - unwrapped: unwrapped(body), for making the SingleTree of an index, whose failure is the
//   fatal error "called `Result::unwrap()` on an `Err` value: " and the exception's repr().
// Should PanicException itself not be creatable, the process ends: nothing is left to raise.

[[noreturn]] inline void throw_python_error() {
    throw PythonErrorSet{};
}

// Returns `object` as an owned reference, or passes the failure of the call that made it on.
inline PyRef checked(PyObject* object) {
    if (object == nullptr) throw_python_error();
    return PyRef::steal(object);
}

// Passes on the failure of a call that reports it as a negative status.
inline void check_status(int status) {
    if (status < 0) throw_python_error();
}

// Sets `type`(message), or `type` with no message, and passes it on.
[[noreturn]] void raise_error(PyObject* type, const char* message);
[[noreturn]] void raise_error(PyObject* type, const PyRef& message);
[[noreturn]] void raise_error(PyObject* type);

// Returns `object` as an owned reference, or an empty handle with the exception cleared.
PyRef attempt(PyObject* object);

// Returns `object` as an owned reference; a null one is the fatal error `message`.
PyRef checked_or_fatal(PyObject* object, std::string_view message,
                       std::source_location where = std::source_location::current());
// A negative status is the fatal error `message`.
void check_status_or_fatal(int status, std::string_view message,
                           std::source_location where = std::source_location::current());

// The fatal error "called `Result::unwrap()` on an `Err` value: <repr of the pending exception>".
[[noreturn]] void fail_unwrapping_pending(std::source_location where);

// Runs `body`; a failure it passes on becomes the fatal error that quotes the exception.
template <class Body>
auto unwrapped(Body&& body, std::source_location where = std::source_location::current()) {
    try {
        return std::forward<Body>(body)();
    } catch (const PythonErrorSet&) {
        fail_unwrapping_pending(where);
    }
}

// The pending exception, taken out of the interpreter and normalised; owned until it is made
// pending again or dropped with this object. Empty (a null type) when none was pending.
class PendingException {
  public:
    static PendingException fetch();

    PyObject* type() const { return type_.get(); }
    PyObject* value() const { return value_.get(); }
    // Makes the exception pending again, as it was.
    void restore() &&;
    // Makes `value` pending in its place, under the same type and with no traceback.
    void restore_as(PyRef value) &&;

  private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

// Runs the Python handlers of signals that arrived meanwhile; when one raises (Ctrl-C's
// raises KeyboardInterrupt), passes that exception on, which stops the native work under way.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw_python_error();
}

// The bytes of a bytes object; the view lives as long as the object.
std::string_view bytes_of(const PyRef& bytes);

// Converts the exception being handled (called only inside a catch block) into the pending
// Python exception: FatalError -> PanicException (or, in a module that asked for it with
// raise_fatal_errors_by_kind, the class of its kind), PythonErrorSet -> the exception already
// pending, std::bad_alloc -> MemoryError, anything else -> SystemError.
void set_python_error_from_current_exception() noexcept;

// The one wrapper around every entry from Python: runs `body` and turns every C++ failure into
// a pending Python exception and `error_value` (-1 for lengths), so none crosses into the
// interpreter.
template <class Result, class Body>
Result boundary_call(Result error_value, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        set_python_error_from_current_exception();
        return error_value;
    }
}

// An entry that returns an object: the body's handle goes to the interpreter; an empty one
// means null (with an exception set, or none for the end of an iteration).
template <class Body>
PyObject* boundary_call(Body&& body) noexcept {
    return boundary_call<PyObject*>(nullptr, [&] { return std::forward<Body>(body)().release(); });
}

// PanicException, the Python exception that carries a fatal error of the native code. It
// derives from BaseException so that, like SystemExit, ordinary handlers let it through.
// Created on first use and kept for the life of the process.
PyObject* panic_exception_type();

// Reports the fatal error on the standard error stream, then sets PanicException(message)
// as the pending Python exception.
void raise_panic(const FatalError& error);

// The engine's exception classes, one per ErrorKind, named treetally_tools._engine.<class>:
// EngineError (itself the class of `internal`), TreeReadError beneath it for input that
// cannot be read as trees, with a subclass per kind of such input, and TaxonNotFoundError,
// also a ValueError. Creates them (once, for the life of the process) and adds them to
// `module`, whose boundary from then on raises a fatal error as the class of its kind with the
// core's message, and reports nothing on standard error. Only the engine asks for this: each
// module links a copy of this runtime of its own, so the treetally module keeps PanicException.
void raise_fatal_errors_by_kind(PyObject* module);

// The class that a fatal error of `kind` becomes once raise_fatal_errors_by_kind has run.
PyObject* error_class(ErrorKind kind);

// The type object made from `spec` (named "builtins.<class>"), created on first use and kept
// for the life of the process. A plain static rather than a guarded one: every caller holds
// the interpreter lock, which already serialises creation and which a guard could deadlock on.
PyTypeObject* create_heap_type(PyType_Spec& spec);
template <PyType_Spec& spec>
PyTypeObject* heap_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) type = create_heap_type(spec);
    return type;
}

// The last step of every class's deallocation slot, once the object's own members are gone:
// frees its memory through the type's free slot and drops the reference that each instance of
// a heap type holds to its type.
void free_heap_instance(PyObject* self);

// Constructor slot of the classes that Python may not call: TypeError "No constructor defined".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

bool is_instance_of(PyObject* object, PyTypeObject* type);

// Casts a method implementation with keywords to the PyCFunction stored in a method table.
template <class Function>
PyCFunction as_method(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace treetally::python
