// What a piece of code takes from operator new: the bytes and blocks it leaves allocated and
// its peak, for comparing memory estimates with what a build really allocates.
#pragma once

#include <cstddef>
#include <functional>

namespace treetally::test {

struct Allocated {
    std::size_t kept_bytes = 0;     // allocated by `action` and still live after it
    std::size_t kept_blocks = 0;    // the number of blocks among them
    std::size_t peak_bytes = 0;     // the most it held at one time
    std::size_t largest_block = 0;  // the largest single allocation it made
};

// Runs `action`, counting every operator new and delete it makes. The counts come from a
// replacement of the global operator new, linked only into the memory test program so that
// the sanitizers keep watching new/delete pairs in the main suite.
Allocated allocated_by(const std::function<void()>& action);

}  // namespace treetally::test
