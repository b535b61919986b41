#include "tree/fatal_error.hpp"

namespace treetally {

void fail(std::string message, std::source_location where) {
    throw FatalError(std::move(message), where);
}

void fail_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
             std::to_string(index),
         where);
}

}  // namespace treetally
