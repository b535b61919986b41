#include "tree/available_memory.hpp"

#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace treetally {

namespace {

constexpr std::size_t kib_to_bytes(std::size_t kib) {
    constexpr std::size_t most = std::numeric_limits<std::size_t>::max() / 1024;
    return kib > most ? std::numeric_limits<std::size_t>::max() : kib * 1024;
}

}  // namespace

std::optional<std::size_t> available_memory_bytes() {
    std::ifstream meminfo("/proc/meminfo");
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
    const std::size_t total = *available + swap_free;
    return total < *available ? std::numeric_limits<std::size_t>::max() : total;
}

}  // namespace treetally
