#include "tree/tree_loader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "tree/available_memory.hpp"
#include "tree/messages.hpp"
#include "tree/newick_reader.hpp"
#include "tree/utf8_validation.hpp"

namespace treetally {

namespace {

constexpr std::size_t read_buffer_size = 8192;

// An open file descriptor, closed on every path out of the loader. `interrupt` is asked before
// every read, which bounds the work between two checks by one buffer of lines, and whenever a
// signal interrupts a call, which is then repeated: so Ctrl-C stops a read that would wait for
// ever (a pipe whose writer stays silent), even when it arrived while the lines before it were
// parsed, and nothing else changes.
class OpenFile {
  public:
    OpenFile(const std::string& path, const InterruptCheck& interrupt)
        : interrupt_(interrupt), fd_(open_file(path)) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool is_open() const { return fd_ >= 0; }

    // Bytes read into `buffer`: 0 at the end of the file, -1 when the read failed.
    ssize_t read_some(std::array<char, read_buffer_size>& buffer) const {
        for (;;) {
            interrupt_();
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got >= 0 || errno != EINTR) return got;
        }
    }

  private:
    int open_file(const std::string& path) const {
        int fd;
        while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
            interrupt_();
        return fd;
    }

    const InterruptCheck& interrupt_;
    int fd_;
};

// The line without its line feed and a carriage return directly before it.
std::string_view strip_line_ending(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The memory that the trees read so far hold, kept below a budget. Without it, a few tens of
// MB of blank lines (a few hundred bytes of tree and list entry each) or of brackets (a node
// each) take all memory in small steps, and the kernel kills the process.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t limit) : limit_(limit) {}

    // Raises std::bad_alloc unless the tree of `line` surely fits: only "(" and "," make nodes.
    void reserve_for_line(std::string_view line) const {
        constexpr std::size_t node_bytes = copies_while_built * Tree::bytes_per_node();
        const std::size_t nodes = 1 + node_openers_in(line);
        if (nodes >= limit_ / node_bytes || held_ + node_bytes * nodes > limit_)
            throw std::bad_alloc();
    }

    // Counts a finished tree: its arrays, the allocator's bookkeeping of their blocks, and its
    // entry (and spare room) in the list of trees.
    void add(const Tree& tree) {
        held_ += tree.heap_bytes() + tree.heap_block_count() * allocator_bytes_per_block +
                 list_slots_per_tree * sizeof(Tree);
    }

  private:
    // While a tree's arrays grow and are trimmed they briefly exist up to three times over.
    static constexpr std::size_t copies_while_built = 3;
    // What the allocator keeps beside each block it hands out.
    static constexpr std::size_t allocator_bytes_per_block = 16;
    // The list of trees grows by doubling, so it holds up to two slots for each tree.
    static constexpr std::size_t list_slots_per_tree = 2;

    std::size_t limit_;
    std::size_t held_ = 0;
};

// Parses one complete line (with its line feed, if any) into the collection;
// false when the line is not valid UTF-8.
bool add_line(std::string_view line, TreeCollection& collection, MemoryBudget& budget) {
    if (!is_valid_utf8(line)) return false;
    budget.reserve_for_line(line);
    collection.trees.push_back(parse_newick_tree(strip_line_ending(line), collection.taxon_set));
    budget.add(collection.trees.back());
    return true;
}

// Empties the line buffer, giving back the memory of an unusually long line.
void release_line(std::string& line) {
    constexpr std::size_t kept_capacity = 1 << 20;
    if (line.capacity() > kept_capacity) {
        std::string().swap(line);
    } else {
        line.clear();
    }
}

}  // namespace

LoadResult load_tree_collection(const std::string& path, const InterruptCheck& interrupt) {
    return load_tree_collection(
        path, available_memory_bytes().value_or(std::numeric_limits<std::size_t>::max()),
        interrupt);
}

LoadResult load_tree_collection(const std::string& path, std::size_t memory_budget,
                                const InterruptCheck& interrupt) {
    OpenFile file(path, interrupt);
    if (!file.is_open()) return LoadError{messages::could_not_read_file};

    MemoryBudget budget(memory_budget);
    TreeCollection collection;
    std::array<char, read_buffer_size> buffer;
    std::string pending;  // the start of a line that spans reads
    for (;;) {
        const ssize_t got = file.read_some(buffer);
        if (got < 0) return LoadError{messages::error_reading_file};
        if (got == 0) break;
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
        for (auto newline = chunk.find('\n'); newline != std::string_view::npos;
             newline = chunk.find('\n')) {
            const std::string_view rest_of_line = chunk.substr(0, newline + 1);
            chunk.remove_prefix(newline + 1);
            bool ok;
            if (pending.empty()) {
                ok = add_line(rest_of_line, collection, budget);
            } else {
                pending.append(rest_of_line);
                ok = add_line(pending, collection, budget);
                release_line(pending);
            }
            if (!ok) return LoadError{messages::error_reading_file};
        }
        pending.append(chunk);
    }
    if (!pending.empty() && !add_line(pending, collection, budget))
        return LoadError{messages::error_reading_file};
    // The list grew by doubling; a set keeps it for its whole life, so give back the spare room.
    collection.trees.shrink_to_fit();
    return collection;
}

}  // namespace treetally
