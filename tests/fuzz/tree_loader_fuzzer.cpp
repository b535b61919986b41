// libFuzzer harness: arbitrary bytes as a whole tree file (in a memfd), loaded by the
// streaming loader, compared with a plain in-memory split into lines, then indexed and queried.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/messages.hpp"
#include "fuzz_checks.hpp"
#include "tree/newick_reader.hpp"
#include "tree/tree_loader.hpp"

namespace {

using namespace treetally;

// UTF-8 validity by decoding each scalar value: a second, independent opinion.
bool reference_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length;
        std::uint32_t value;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// What the loader should give: every line, in order, or the first failure.
struct Expected {
    std::optional<std::string> load_error;
    bool fatal = false;
    TreeCollection collection;
};

Expected reference_load(std::string_view file) {
    Expected expected;
    std::vector<std::string_view> lines;
    while (!file.empty()) {
        const std::size_t newline = file.find('\n');
        const std::size_t length = newline == std::string_view::npos ? file.size() : newline + 1;
        lines.push_back(file.substr(0, length));
        file.remove_prefix(length);
    }
    for (std::string_view line : lines) {
        if (!reference_utf8(line)) {
            expected.load_error = messages::error_reading_file;
            return expected;
        }
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        try {
            expected.collection.trees.push_back(
                parse_newick_tree(line, expected.collection.taxon_set));
        } catch (const FatalError& error) {
            fuzz::expect_reader_error(error);
            expected.fatal = true;
            return expected;
        }
    }
    return expected;
}

bool same_tree(const Tree& a, const Tree& b) {
    auto equal = [](auto x, auto y) { return std::equal(x.begin(), x.end(), y.begin(), y.end()); };
    auto same_lengths = [](std::span<const double> x, std::span<const double> y) {
        if (x.size() != y.size()) return false;
        for (std::size_t k = 0; k < x.size(); ++k) {
            if (!(x[k] == y[k] || (std::isnan(x[k]) && std::isnan(y[k])))) return false;
        }
        return true;
    };
    return a.root_is_bifurcating() == b.root_is_bifurcating() &&
           equal(a.node_taxons(), b.node_taxons()) && equal(a.parents(), b.parents()) &&
           same_lengths(a.branch_lengths(), b.branch_lengths()) &&
           equal(a.first_children(), b.first_children()) &&
           equal(a.next_siblings(), b.next_siblings()) && equal(a.child_counts(), b.child_counts());
}

// The bytes as a file that lives only in memory, reachable by a path.
class MemoryFile {
  public:
    explicit MemoryFile(std::string_view bytes) : fd_(memfd_create("tree_loader_fuzz", 0)) {
        if (fd_ < 0) fuzz::finding("memfd_create failed");
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t got = ::write(fd_, bytes.data() + written, bytes.size() - written);
            if (got <= 0) fuzz::finding("write to memfd failed");
            written += static_cast<std::size_t>(got);
        }
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() { ::close(fd_); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    FuzzedDataProvider bytes(data, size);
    Expected expected = reference_load(file);

    std::optional<LoadResult> loaded;
    {
        const MemoryFile memory_file(file);
        try {
            loaded = load_tree_collection(memory_file.path());
        } catch (const FatalError& error) {
            fuzz::expect_reader_error(error);
            fuzz::require(expected.fatal, "loader raised where the lines parse");
            return 0;
        }
    }
    fuzz::require(!expected.fatal, "loader did not raise the reader's error");
    if (const auto* error = std::get_if<LoadError>(&*loaded)) {
        if (!expected.load_error || *expected.load_error != error->message)
            fuzz::finding("unexpected load error:", error->message);
        return 0;
    }
    fuzz::require(!expected.load_error, "loader accepted a line that is not UTF-8");

    TreeCollection& collection = std::get<TreeCollection>(*loaded);
    fuzz::require(collection.trees.size() == expected.collection.trees.size(), "tree count");
    fuzz::require(collection.taxon_set.taxon_names() == expected.collection.taxon_set.taxon_names(),
                  "taxon names");
    for (std::size_t k = 0; k < collection.trees.size(); ++k) {
        fuzz::require(same_tree(collection.trees[k], expected.collection.trees[k]), "tree differs");
    }
    fuzz::index_and_query(std::move(collection), bytes);
    return 0;
}
