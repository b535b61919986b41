// The one exception type for unrecoverable failures in the core.
// It carries a kind, a message and where it was raised; the module's boundary turns every one
// into PanicException, the engine's picks a class by its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace treetally {

// What went wrong, so that callers tell failures apart without reading their text. Every kind
// but `internal` is a fault of the input or of the caller's request, never of the code.
enum class ErrorKind : std::uint8_t {
    internal,           // a fault of the native code itself: no input should reach it
    file_not_opened,    // the tree file cannot be opened
    file_not_read,      // a read of the file failed, or a line is not UTF-8 text
    line_too_long,      // a line longer than the load's cap
    bad_branch_length,  // a branch length that is not a number
    bad_support_label,  // an internal label that is not a support value, under a support bound
    too_large,          // more taxa or nodes than ids can number
    unknown_taxon,      // a name that no tree of the set holds
};

// How many kinds there are (for tables indexed by kind).
inline constexpr std::size_t error_kind_count =
    static_cast<std::size_t>(ErrorKind::unknown_taxon) + 1;

class FatalError : public std::exception {
  public:
    FatalError(ErrorKind kind, std::string message, std::source_location where) noexcept
        : kind_(kind), message_(std::move(message)), where_(where) {}
    FatalError(std::string message, std::source_location where) noexcept
        : FatalError(ErrorKind::internal, std::move(message), where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    ErrorKind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // The 1-based line of the input the failure was met on, 0 when unknown; the message
    // stays as raised, so a caller that wants the line shows it itself.
    std::size_t line_number() const noexcept { return line_number_; }
    void set_line_number(std::size_t line_number) noexcept { line_number_ = line_number; }

  private:
    ErrorKind kind_;
    std::string message_;
    std::source_location where_;
    std::size_t line_number_ = 0;
};

// Raises a FatalError of kind `internal` that records the caller's source location.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());
// Raises a FatalError of `kind` that records the caller's source location.
[[noreturn]] void fail(ErrorKind kind, std::string message,
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
