// The one exception type for unrecoverable failures in the core.
// It carries a message and where it was raised; the Python boundary turns it into PanicException.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace treetally {

class FatalError : public std::exception {
  public:
    FatalError(std::string message, std::source_location where) noexcept
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

  private:
    std::string message_;
    std::source_location where_;
};

// Raises a FatalError that records the caller's source location.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Raises the fatal error for an index at or past the end of a sequence of length `len`.
[[noreturn]] void fail_out_of_bounds(std::size_t len, std::size_t index,
                                     std::source_location where = std::source_location::current());

// Returns `index` when it is below `len`; otherwise raises the out-of-bounds fatal error.
inline std::size_t checked_index(std::size_t index, std::size_t len,
                                 std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        fail_out_of_bounds(len, index, where);
    return index;
}

}  // namespace treetally
