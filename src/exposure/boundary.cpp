#include "exposure/boundary.hpp"

#include <exception>
#include <new>

#include "exposure/panic_exception.hpp"
#include "exposure/python_error_set.hpp"
#include "tree/fatal_error.hpp"

namespace treetally::python {

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const FatalError& error) {
        raise_panic(error);
    } catch (const PythonErrorSet&) {
        // A helper claimed an exception was pending; make sure the caller never sees a null
        // result without one.
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in treetally");
    }
}

}  // namespace treetally::python
