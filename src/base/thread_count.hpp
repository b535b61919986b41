// How many threads count a table: the cores a process may use, and the workers a run of blocks
// starts, in one place, so that a table's memory estimate counts the threads that really run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace treetally {

// The processors this process may run on (its affinity mask, as `taskset` or a container's
// cpuset leave it), else the machine's hardware threads; at least 1.
inline std::size_t core_count() {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

// The workers a run of `blocks` blocks on `threads` threads starts: one at least while blocks
// remain, never more than there are blocks.
inline std::size_t started_threads(std::size_t threads, std::size_t blocks) {
    return std::min(std::max<std::size_t>(threads, 1), blocks);
}

}  // namespace treetally
