// The memory the process may still take, read from a fake /proc and /sys: the machine's figure,
// capped by the limits of the process's cgroups of either version, from its own group up.
#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/available_memory.hpp"
#include "temp_files.hpp"

namespace treetally {
namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

const std::string meminfo_of_1000_kib =
    "MemTotal: 8000 kB\nMemAvailable: 600 kB\nSwapFree: 400 kB\n";
const std::string v2_mount = "30 1 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const std::string v1_mounts =
    "31 1 0:27 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
    "32 1 0:28 /docker/c1 /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

struct MemoryCase {
    const char* name;
    Files files;
    std::optional<std::size_t> expected;

    friend void PrintTo(const MemoryCase& memory_case, std::ostream* out) {
        *out << memory_case.name;
    }
};

class AvailableMemory : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(AvailableMemory, IsTheTightestLimit) {
    const test::TempDir root;
    for (const auto& [path, text] : GetParam().files) {
        std::filesystem::create_directories((root.path() / path).parent_path());
        root.write(path, text);
    }
    EXPECT_EQ(available_memory_bytes(root.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Machines, AvailableMemory,
    ::testing::Values(
        MemoryCase{"NothingKnown", {}, std::nullopt},
        MemoryCase{"MachineOnly", {{"proc/meminfo", meminfo_of_1000_kib}}, 1'024'000},
        // A parent group's limit binds its children; the process's own group sets none.
        MemoryCase{"Version2LimitAbove",
                   {{"proc/meminfo", meminfo_of_1000_kib},
                    {"proc/self/mountinfo", v2_mount},
                    {"proc/self/cgroup", "0::/pod/app\n"},
                    {"sys/fs/cgroup/memory.current", "123456789\n"},
                    {"sys/fs/cgroup/pod/memory.max", "300000\n"},
                    {"sys/fs/cgroup/pod/memory.current", "100000\n"},
                    {"sys/fs/cgroup/pod/app/memory.max", "max\n"},
                    {"sys/fs/cgroup/pod/app/memory.current", "90000\n"}},
                   200'000},
        // Inactive file cache is reclaimed before memory is refused, so it is not in use.
        MemoryCase{"Version2OwnLimitWithCache",
                   {{"proc/meminfo", meminfo_of_1000_kib},
                    {"proc/self/mountinfo", v2_mount},
                    {"proc/self/cgroup", "0::/app\n"},
                    {"sys/fs/cgroup/app/memory.max", "500000\n"},
                    {"sys/fs/cgroup/app/memory.current", "400000\n"},
                    {"sys/fs/cgroup/app/memory.stat", "anon 50000\ninactive_file 150000\n"}},
                   250'000},
        // Version 1 mounted at the container's own group (its path below the host's root).
        MemoryCase{"Version1BindMountedGroup",
                   {{"proc/meminfo", meminfo_of_1000_kib},
                    {"proc/self/mountinfo", v1_mounts},
                    {"proc/self/cgroup", "5:cpu:/docker/c1\n4:memory:/docker/c1\n0::/\n"},
                    {"sys/fs/cgroup/memory/memory.limit_in_bytes", "700000\n"},
                    {"sys/fs/cgroup/memory/memory.usage_in_bytes", "600000\n"},
                    {"sys/fs/cgroup/memory/memory.stat", "cache 1\ntotal_inactive_file 100000\n"}},
                   200'000},
        // The unlimited value of version 1 and a group over its limit.
        MemoryCase{"Version1NoLimitBelowTheMachine",
                   {{"proc/meminfo", meminfo_of_1000_kib},
                    {"proc/self/mountinfo", v1_mounts},
                    {"proc/self/cgroup", "4:memory:/docker/c1\n"},
                    {"sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
                    {"sys/fs/cgroup/memory/memory.usage_in_bytes", "600000\n"}},
                   1'024'000},
        MemoryCase{"OverTheLimit",
                   {{"proc/self/mountinfo", v2_mount},
                    {"proc/self/cgroup", "0::/app\n"},
                    {"sys/fs/cgroup/app/memory.max", "1000\n"},
                    {"sys/fs/cgroup/app/memory.current", "5000\n"}},
                   0}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace treetally
