#include "base/available_memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "base/cgroup_memory.hpp"

namespace treetally {

namespace {

constexpr std::size_t saturated = std::numeric_limits<std::size_t>::max();

constexpr std::size_t kib_to_bytes(std::size_t kib) {
    return kib > saturated / 1024 ? saturated : kib * 1024;
}

// MemAvailable plus SwapFree; nullopt where the kernel does not give MemAvailable.
std::optional<std::size_t> meminfo_available(const std::filesystem::path& meminfo_file) {
    std::ifstream meminfo(meminfo_file);
    if (!meminfo) return std::nullopt;
    std::optional<std::size_t> available;
    std::size_t swap_free = 0;
    std::string line;
    while (std::getline(meminfo, line)) {
        std::istringstream fields(line);
        std::string key;
        std::size_t kib = 0;
        if (!(fields >> key >> kib)) continue;
        if (key == "MemAvailable:") available = kib_to_bytes(kib);
        if (key == "SwapFree:") swap_free = kib_to_bytes(kib);
    }
    if (!available) return std::nullopt;
    return *available > saturated - swap_free ? saturated : *available + swap_free;
}

// The address space left under RLIMIT_AS; nullopt when there is no such limit.
std::optional<std::size_t> address_space_left() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    if (!(statm >> pages)) return std::nullopt;
    const std::size_t mapped = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto cap = static_cast<std::size_t>(limit.rlim_cur);
    return cap > mapped ? cap - mapped : 0;
}

// The tighter of two limits in bytes, where nullopt means no limit.
std::optional<std::size_t> tighter(std::optional<std::size_t> a, std::optional<std::size_t> b) {
    if (!a) return b;
    if (!b) return a;
    return *a < *b ? a : b;
}

}  // namespace

std::optional<std::size_t> available_memory_bytes(const std::filesystem::path& root) {
    return tighter(meminfo_available(root / "proc/meminfo"), cgroup_memory_left(root));
}

std::optional<std::size_t> available_memory_bytes() {
    return tighter(available_memory_bytes("/"), address_space_left());
}

}  // namespace treetally
