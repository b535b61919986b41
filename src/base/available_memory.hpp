// How much memory the process can still take before the kernel's out-of-memory killer steps
// in, so that loading can fail with an ordinary out-of-memory error instead of being killed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

namespace treetally {

// Available memory plus free swap, from /proc/meminfo, but no more than the process's cgroups
// leave it (a container's limit) nor than its address-space limit (ulimit -v) allows; nullopt
// where none of them is known.
std::optional<std::size_t> available_memory_bytes();

// The machine's and the cgroups' share of that, read from the files under `root` ("/" but
// for tests).
std::optional<std::size_t> available_memory_bytes(const std::filesystem::path& root);

}  // namespace treetally
