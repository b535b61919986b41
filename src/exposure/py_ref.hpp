// An owning handle to one Python object reference, released when the handle goes away.
// Keeps reference counting out of the method bodies: every new reference lands in a PyRef.
#pragma once

#include <Python.h>

#include <utility>

namespace treetally::python {

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

}  // namespace treetally::python
