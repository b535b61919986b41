#include "base/cgroup_memory.hpp"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace treetally {

namespace {

namespace fs = std::filesystem;

// The files that give one group's limit and use, by version of the hierarchy.
struct MemoryFiles {
    bool version2;
    const char* limit;
    const char* usage;
    const char* inactive_file_key;  // in memory.stat, counted for the group and those below
};
constexpr MemoryFiles version2_files{true, "memory.max", "memory.current", "inactive_file"};
constexpr MemoryFiles version1_files{false, "memory.limit_in_bytes", "memory.usage_in_bytes",
                                     "total_inactive_file"};

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// A path field of mountinfo, where spaces and a few other bytes are written as \ooo.
std::string unescaped(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        int code = 0;
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::from_chars(field.data() + i + 1, field.data() + i + 4, code, 8).ptr ==
                field.data() + i + 4) {
            out.push_back(static_cast<char>(code));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// Where a hierarchy is mounted (under `root`) and which of its groups the mount shows at top;
// an empty point when it is not mounted.
struct Mount {
    fs::path point;
    std::string group;
};

bool holds(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// The mount of the version-2 hierarchy, or of the version-1 one that has the memory controller.
Mount hierarchy_mount(const fs::path& root, const MemoryFiles& files) {
    std::ifstream mountinfo(root / "proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        const std::vector<std::string> fields = split(line, ' ');
        // id parent device group-root mount-point options [optional...] - type source super
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || fields.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const bool wanted = files.version2
                                ? type == "cgroup2"
                                : type == "cgroup" && holds(split(dash[3], ','), "memory");
        if (wanted)
            return {root / fs::path(unescaped(fields[4])).relative_path(), unescaped(fields[3])};
    }
    return {};
}

// The process's group in that hierarchy, from lines "id:controllers:path"; empty if none.
std::string own_group(const fs::path& root, const MemoryFiles& files) {
    std::ifstream cgroup(root / "proc/self/cgroup");
    std::string line;
    while (std::getline(cgroup, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string_view controllers =
            std::string_view(line).substr(first + 1, second - first - 1);
        const bool wanted = files.version2 ? line.compare(0, first, "0") == 0 && controllers.empty()
                                           : holds(split(controllers, ','), "memory");
        if (wanted) return line.substr(second + 1);
    }
    return {};
}

// Plain sizes below, with this for "no limit": optionals in these loops made clang-tidy's
// optional-access analysis run for minutes.
constexpr std::size_t no_limit = std::numeric_limits<std::size_t>::max();

// The whole number of bytes `text` gives, or `otherwise` for "max" or anything unreadable.
std::size_t bytes_or(std::string_view text, std::size_t otherwise) {
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error != std::errc{} || end == text.data() ? otherwise : value;
}

std::string first_word(const fs::path& file) {
    std::ifstream in(file);
    std::string word;
    in >> word;
    return word;
}

// The value of `key` in a file of "key value" lines; empty when absent.
std::string stat_value(const fs::path& file, std::string_view key) {
    std::ifstream in(file);
    std::string name;
    std::string value;
    while (in >> name >> value) {
        if (name == key) return value;
    }
    return {};
}

// The room one group leaves: its limit less the memory it uses and cannot reclaim at once.
std::size_t room_in_group(const fs::path& group, const MemoryFiles& files) {
    const std::size_t limit = bytes_or(first_word(group / files.limit), no_limit);
    if (limit == no_limit) return no_limit;
    const std::size_t usage = bytes_or(first_word(group / files.usage), 0);
    const std::size_t inactive =
        bytes_or(stat_value(group / "memory.stat", files.inactive_file_key), 0);
    const std::size_t working = usage - std::min(usage, inactive);
    return limit > working ? limit - working : 0;
}

// The least room of the process's group and those above it, from the mount's top group down.
std::size_t room_in_hierarchy(const fs::path& root, const MemoryFiles& files) {
    const Mount mount = hierarchy_mount(root, files);
    const std::string group = own_group(root, files);
    if (mount.point.empty() || group.empty()) return no_limit;
    // The mount shows the groups below its top group; the process's group is found by its path
    // below that one (or, should it lie elsewhere, the top group stands for it).
    std::string below;
    if (mount.group == "/") {
        below = group;
    } else if (group.compare(0, mount.group.size(), mount.group) == 0 &&
               (group.size() == mount.group.size() || group[mount.group.size()] == '/')) {
        below = group.substr(mount.group.size());
    }
    fs::path dir = mount.point;
    std::size_t room = room_in_group(dir, files);
    for (const fs::path& part : fs::path(below).relative_path()) {
        if (part.empty() || part == "." || part == "..") continue;
        dir /= part;
        room = std::min(room, room_in_group(dir, files));
    }
    return room;
}

}  // namespace

std::optional<std::size_t> cgroup_memory_left(const fs::path& root) {
    const std::size_t room =
        std::min(room_in_hierarchy(root, version2_files), room_in_hierarchy(root, version1_files));
    if (room == no_limit) return std::nullopt;
    return room;
}

}  // namespace treetally
