#include "python/runtime/results.hpp"

#include <cstddef>

#include "base/messages.hpp"
#include "python/runtime/binding_messages.hpp"

namespace treetally::python {
namespace {

PyRef made(PyObject* object) {
    return checked_or_fatal(object, messages::api_call_failed);
}

// A list of `size` entries, entry k made by `make_item(k)`.
template <class MakeItem>
PyRef list_of(std::size_t size, MakeItem&& make_item) {
    PyRef list = made(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t k = 0; k < size; ++k) {
        PyRef item = made(make_item(k));
        // PyList_SetItem takes the item's reference.
        check_status_or_fatal(
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item.release()),
            messages::api_call_failed);
    }
    return list;
}

}  // namespace

PyRef list_of_strings(const std::vector<std::string>& names) {
    return list_of(names.size(), [&](std::size_t k) {
        return PyUnicode_FromStringAndSize(names[k].data(),
                                           static_cast<Py_ssize_t>(names[k].size()));
    });
}

PyRef list_of_counts(std::span<const std::uint64_t> counts) {
    return list_of(counts.size(), [&](std::size_t k) {
        return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(counts[k]));
    });
}

PyRef list_of_ints(std::span<const std::int64_t> values) {
    return list_of(values.size(), [&](std::size_t k) {
        return PyLong_FromLongLong(static_cast<long long>(values[k]));
    });
}

PyRef list_of_floats(std::span<const double> values) {
    return list_of(values.size(), [&](std::size_t k) { return PyFloat_FromDouble(values[k]); });
}

PyRef list_of_floats_or_none(std::optional<std::span<const double>> values) {
    return values ? list_of_floats(*values) : none();
}

PyRef optional_code(std::optional<std::uint8_t> code) {
    if (!code) return none();
    return made(PyLong_FromLong(static_cast<long>(*code)));
}

PyRef none() {
    return PyRef::borrow(Py_None);
}

}  // namespace treetally::python
