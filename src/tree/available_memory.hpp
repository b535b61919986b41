// How much memory the process can still take before the kernel's out-of-memory killer steps
// in, so that loading can fail with an ordinary out-of-memory error instead of being killed.
#pragma once

#include <cstddef>
#include <optional>

namespace treetally {

// Available memory plus free swap, from /proc/meminfo; nullopt where that is unknown.
std::optional<std::size_t> available_memory_bytes();

}  // namespace treetally
