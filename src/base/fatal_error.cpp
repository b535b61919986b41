#include "base/fatal_error.hpp"

#include "base/messages.hpp"

namespace treetally {

void fail(std::string message, std::source_location where) {
    throw FatalError(std::move(message), where);
}

void fail(ErrorKind kind, std::string message, std::source_location where) {
    throw FatalError(kind, std::move(message), where);
}

void fail_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    fail(messages::index_out_of_bounds(len, index), where);
}

}  // namespace treetally
