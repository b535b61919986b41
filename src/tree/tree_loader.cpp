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

// An open file descriptor, closed on every path out of the loader.
class OpenFile {
  public:
    explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool is_open() const { return fd_ >= 0; }

    // Bytes read into `buffer`: 0 at the end of the file, -1 when the read failed.
    ssize_t read_some(std::array<char, read_buffer_size>& buffer) const {
        ssize_t got;
        do {
            got = ::read(fd_, buffer.data(), buffer.size());
        } while (got < 0 && errno == EINTR);
        return got;
    }

  private:
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

    // Counts what the receiver of a finished tree keeps.
    void add(std::size_t bytes) { held_ += bytes; }

  private:
    // While a tree's arrays grow and are trimmed they briefly exist up to three times over.
    static constexpr std::size_t copies_while_built = 3;

    std::size_t limit_;
    std::size_t held_ = 0;
};

// A tree kept in a collection: its arrays, the allocator's bookkeeping of their blocks, and
// its entry (and spare room) in the list of trees.
std::size_t kept_tree_bytes(const Tree& tree) {
    // What the allocator keeps beside each block it hands out.
    constexpr std::size_t allocator_bytes_per_block = 16;
    // The list of trees grows by doubling, so it holds up to two slots for each tree.
    constexpr std::size_t list_slots_per_tree = 2;
    return tree.heap_bytes() + tree.heap_block_count() * allocator_bytes_per_block +
           list_slots_per_tree * sizeof(Tree);
}

// Parses one complete line (with its line feed, if any) into `tree` and hands it to `sink`,
// which may keep it or leave its arrays for the next line; false when the line is not valid
// UTF-8.
bool add_line(std::string_view line, TaxonSet& taxa, Tree& tree, const TreeSink& sink,
              MemoryBudget& budget) {
    if (!is_valid_utf8(line)) return false;
    budget.reserve_for_line(line);
    parse_newick_tree_into(strip_line_ending(line), taxa, tree);
    budget.add(sink(std::move(tree)));
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

LoadResult load_tree_collection(const std::string& path) {
    return load_tree_collection(
        path, available_memory_bytes().value_or(std::numeric_limits<std::size_t>::max()));
}

LoadResult load_tree_collection(const std::string& path, std::size_t memory_budget) {
    TreeCollection collection;
    const TreeSink keep = [&collection](Tree&& tree) {
        collection.trees.push_back(std::move(tree));
        return kept_tree_bytes(collection.trees.back());
    };
    if (auto error = read_tree_file(path, collection.taxon_set, keep, memory_budget)) {
        return std::move(*error);
    }
    // The list grew by doubling; a set keeps it for its whole life, so give back the spare room.
    collection.trees.shrink_to_fit();
    return collection;
}

std::optional<LoadError> read_tree_file(const std::string& path, TaxonSet& taxa,
                                        const TreeSink& sink, std::size_t memory_budget) {
    OpenFile file(path);
    if (!file.is_open()) return LoadError{messages::could_not_read_file};

    MemoryBudget budget(memory_budget);
    std::array<char, read_buffer_size> buffer;
    std::string pending;  // the start of a line that spans reads
    Tree tree;            // the arrays each line is read into
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
                ok = add_line(rest_of_line, taxa, tree, sink, budget);
            } else {
                pending.append(rest_of_line);
                ok = add_line(pending, taxa, tree, sink, budget);
                release_line(pending);
            }
            if (!ok) return LoadError{messages::error_reading_file};
        }
        pending.append(chunk);
    }
    if (!pending.empty() && !add_line(pending, taxa, tree, sink, budget)) {
        return LoadError{messages::error_reading_file};
    }
    return std::nullopt;
}

}  // namespace treetally
