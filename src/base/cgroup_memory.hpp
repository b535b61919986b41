// The memory that the process's control group, and every group above it, still lets it take:
// a container's limit, which the machine-wide figures of /proc/meminfo do not show.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

namespace treetally {

// The smallest room left under the memory limits of the process's cgroups (version 2:
// memory.max; version 1: memory.limit_in_bytes), walking up from its own group to the top of
// the mounted hierarchy. A group's use counts without its inactive file cache, which the
// kernel reclaims before it refuses memory. nullopt where no group sets a limit.
// `root` is where /proc and /sys are found: "/" but for tests.
std::optional<std::size_t> cgroup_memory_left(const std::filesystem::path& root);

}  // namespace treetally
