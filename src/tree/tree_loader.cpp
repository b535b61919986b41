#include "tree/tree_loader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "base/utf8_validation.hpp"
#include "tree/newick_reader.hpp"

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

// The memory that the load holds, kept below a budget: what the receiver keeps of each tree,
// the taxon names, the tree being read and the line being gathered. Without it, a few tens of
// MB of blank lines (a few hundred bytes of tree and list entry each) or of brackets (a node
// each), a line that never ends (/dev/zero) or many long names take all memory, and the kernel
// kills the process.
class MemoryBudget {
  public:
    explicit MemoryBudget(std::size_t limit) : limit_(limit) {}

    // Raises std::bad_alloc unless the line buffer may grow to `capacity` bytes: its old copy
    // exists while it grows, and a line that long may need as much again for its labels.
    void reserve_for_line_buffer(std::size_t capacity) const {
        if (capacity > room() / 2) throw std::bad_alloc();
    }

    // Raises std::bad_alloc unless the tree of `text` and the names it may add surely fit
    // beside `held_elsewhere` bytes (the line buffer and the arrays the tree is read into).
    // Returns the exact node count to size the tree's arrays for when the rough count of one
    // node or name per byte does not fit, but that does.
    std::optional<std::size_t> reserve_for_line(std::string_view text,
                                                std::size_t held_elsewhere) const {
        const std::size_t room_for_tree = room() - std::min(room(), held_elsewhere);
        if (room_for_tree < lone_root_bytes) throw std::bad_alloc();
        const std::size_t room_beyond_root = room_for_tree - lone_root_bytes;
        if (text.size() <= room_beyond_root / worst_bytes_per_byte) return std::nullopt;
        const ReaderYield yield = reader_yield_of(text);
        const std::size_t more_nodes = yield.nodes - 1;
        const std::size_t names = TaxonSet::bytes_for_new_names(yield.labels, yield.label_bytes);
        if (more_nodes > room_beyond_root / node_bytes ||
            names > room_beyond_root - more_nodes * node_bytes)
            throw std::bad_alloc();
        return yield.nodes;
    }

    // Counts the `kept` bytes the receiver of a finished tree holds because of it, and the
    // names the tree added, those from `first_new` on.
    void add(std::size_t kept, const TaxonSet& taxa, std::size_t first_new) {
        held_ += kept;
        std::size_t name_bytes = 0;
        for (std::size_t id = first_new; id < taxa.size(); ++id)
            name_bytes += taxa.taxon_names()[id].size();
        held_ += TaxonSet::bytes_for_new_names(taxa.size() - first_new, name_bytes);
    }

  private:
    std::size_t room() const { return held_ < limit_ ? limit_ - held_ : 0; }

    // While a tree's arrays grow and are trimmed they briefly exist up to three times over.
    static constexpr std::size_t copies_while_built = 3;
    static constexpr std::size_t node_bytes = copies_while_built * Tree::bytes_per_node();
    // What the tree of a blank line costs while it is read.
    static constexpr std::size_t lone_root_bytes = node_bytes;
    // The most a byte of text can cost beyond a lone root: it opens a node, whose arrays the
    // reader sizes by a rough count and may grow, or starts a one-byte name.
    static constexpr std::size_t worst_bytes_per_byte =
        node_bytes + TaxonSet::bytes_for_new_names(1, 1);

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

// Where the trees of a file go: the sink for each tree, the one for the labels its reader
// drops and the one for the problems of its lines (unset unless the caller asked for them),
// told the number of the line being read.
struct LineSinks {
    const TreeSink& trees;
    const NumberedLabelSink& internal_labels;
    const NumberedProblemSink& problems;
    const InternalLengthSink& internal_lengths;
    std::size_t line_number = 0;
};

// The not_utf8 problem of a line whose byte `at` (from 0) begins no valid sequence.
void report_not_utf8(const LineProblemSink& problems, std::size_t at) {
    problems(LineProblem::not_utf8,
             "byte " + std::to_string(at + 1) + " of the line is not UTF-8 text");
}

// Parses one complete line (with its line feed, if any), held in `line_buffer` bytes, into
// `tree` and hands it to the sinks, whose tree sink may keep it or leave its arrays for the
// next line; false when the line is not valid UTF-8.
bool add_line(std::string_view line, std::size_t line_buffer, TaxonSet& taxa, Tree& tree,
              LineSinks& sinks, MemoryBudget& budget) {
    ++sinks.line_number;
    const InternalLabelSink numbered_labels =
        sinks.internal_labels ? InternalLabelSink([&sinks](NodeId node, std::string_view label) {
            sinks.internal_labels(sinks.line_number, node, label);
        })
                              : InternalLabelSink();
    bool bad_length = false;
    const LineProblemSink numbered_problems =
        sinks.problems ? LineProblemSink([&sinks, &bad_length](LineProblem problem,
                                                               std::string_view detail) {
            sinks.problems(sinks.line_number, problem, detail);
            bad_length = bad_length || problem == LineProblem::bad_branch_length;
        })
                       : LineProblemSink();
    if (!is_valid_utf8(line)) {
        if (numbered_problems) report_not_utf8(numbered_problems, first_invalid_utf8_byte(line));
        return false;
    }
    const std::string_view text = strip_line_ending(line);
    const auto node_count = budget.reserve_for_line(text, line_buffer + tree.heap_bytes());
    const std::size_t first_new = taxa.size();
    try {
        parse_newick_tree_into(text, taxa, tree, node_count, numbered_labels, numbered_problems,
                               sinks.internal_lengths);
        // The checking reader reads past such a length; the load refuses it all the same.
        if (bad_length) fail(ErrorKind::bad_branch_length, messages::invalid_float);
    } catch (FatalError& error) {
        // The reader does not know its line; the caller is told it beside the message.
        if (error.kind() == ErrorKind::bad_branch_length && error.line_number() == 0)
            error.set_line_number(sinks.line_number);
        throw;
    }
    budget.add(sinks.trees(std::move(tree)), taxa, first_new);
    return true;
}

// Appends `text` to the line being gathered; its buffer grows by doubling, within the budget.
void extend_line(std::string& line, std::string_view text, const MemoryBudget& budget) {
    const std::size_t needed = line.size() + text.size();
    if (needed > line.capacity()) {
        const std::size_t grown = std::max(needed, 2 * line.capacity());
        budget.reserve_for_line_buffer(grown);
        line.reserve(grown);
    }
    line.append(text);
}

// The longest line a load takes, when it has a cap: checked as each piece of a line arrives,
// so that a line that never ends (/dev/zero, or compressed zeros) is refused once it passes the
// cap, after one pass over that many bytes, rather than when memory runs out.
struct LineCap {
    std::optional<std::size_t> max_bytes;

    // Raises line_too_long, naming line `line_number`, when `bytes` of it are more than the cap.
    void check(std::size_t bytes, std::size_t line_number) const {
        if (max_bytes && bytes > *max_bytes)
            fail(ErrorKind::line_too_long, messages::line_too_long(line_number, *max_bytes));
    }
};

// Empties the line buffer, giving back the memory of an unusually long line.
void release_line(std::string& line) {
    constexpr std::size_t kept_capacity = 1 << 20;
    if (line.capacity() > kept_capacity) {
        std::string().swap(line);
    } else {
        line.clear();
    }
}

// Hands each line of the file at `path` (with its line feed, if any) to `on_line(line,
// line_buffer)`, line_buffer being the bytes held to gather it, within `budget` and `cap`;
// false from on_line ends the reading with error_reading_file.
template <class OnLine>
std::optional<LoadError> for_each_line(const std::string& path, const InterruptCheck& interrupt,
                                       const LineCap& cap, const MemoryBudget& budget,
                                       OnLine&& on_line) {
    OpenFile file(path, interrupt);
    if (!file.is_open()) return LoadError::not_opened();

    std::array<char, read_buffer_size> buffer;
    std::string pending;  // the start of a line that spans reads
    std::size_t lines = 0;
    for (;;) {
        const ssize_t got = file.read_some(buffer);
        if (got < 0) return LoadError::not_read();
        if (got == 0) break;
        std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
        for (auto newline = chunk.find('\n'); newline != std::string_view::npos;
             newline = chunk.find('\n')) {
            cap.check(pending.size() + newline, lines + 1);
            const std::string_view rest_of_line = chunk.substr(0, newline + 1);
            chunk.remove_prefix(newline + 1);
            ++lines;
            bool ok;
            if (pending.empty()) {
                ok = on_line(rest_of_line, pending.capacity());
            } else {
                extend_line(pending, rest_of_line, budget);
                ok = on_line(std::string_view(pending), pending.capacity());
                release_line(pending);
            }
            if (!ok) return LoadError::not_read();
        }
        cap.check(pending.size() + chunk.size(), lines + 1);
        extend_line(pending, chunk, budget);
    }
    if (!pending.empty() && !on_line(std::string_view(pending), pending.capacity())) {
        return LoadError::not_read();
    }
    return std::nullopt;
}

}  // namespace

LoadResult load_tree_collection(const std::string& path, const LoadContext& context) {
    TreeCollection collection;
    const TreeSink keep = [&collection](Tree&& tree) {
        collection.trees.push_back(std::move(tree));
        return kept_tree_bytes(collection.trees.back());
    };
    if (auto error = read_tree_file(path, collection.taxon_set, keep, context.memory_budget(),
                                    context.interrupt, {}, context.max_line_bytes)) {
        return std::move(*error);
    }
    // The list grew by doubling; a set keeps it for its whole life, so give back the spare room.
    collection.trees.shrink_to_fit();
    return collection;
}

std::optional<LoadError> read_tree_file(const std::string& path, TaxonSet& taxa,
                                        const TreeSink& sink, std::size_t memory_budget,
                                        const InterruptCheck& interrupt,
                                        const NumberedLabelSink& internal_labels,
                                        std::optional<std::size_t> max_line_bytes,
                                        const NumberedProblemSink& problems,
                                        const InternalLengthSink& internal_lengths) {
    MemoryBudget budget(memory_budget);
    Tree tree;  // the arrays each line is read into
    LineSinks sinks{sink, internal_labels, problems, internal_lengths};
    return for_each_line(path, interrupt, LineCap{max_line_bytes}, budget,
                         [&](std::string_view line, std::size_t line_buffer) {
                             return add_line(line, line_buffer, taxa, tree, sinks, budget);
                         });
}

std::variant<std::size_t, LoadError> check_tree_file(const std::string& path,
                                                     const NumberedProblemSink& problems,
                                                     std::size_t memory_budget,
                                                     const InterruptCheck& interrupt,
                                                     std::optional<std::size_t> max_line_bytes) {
    const MemoryBudget budget(memory_budget);
    Tree tree;  // the arrays each line is read into
    // The names of every line, as a load keeps them: a name read before costs no copy again.
    TaxonSet taxa;
    std::size_t line_number = 0;
    const LineProblemSink numbered = [&](LineProblem problem, std::string_view detail) {
        problems(line_number, problem, detail);
    };
    const auto error = for_each_line(
        path, interrupt, LineCap{max_line_bytes}, budget,
        [&](std::string_view line, std::size_t line_buffer) {
            ++line_number;
            if (const std::size_t bad = first_invalid_utf8_byte(line); bad < line.size()) {
                report_not_utf8(numbered, bad);
                return true;
            }
            const std::string_view text = strip_line_ending(line);
            const auto node_count = budget.reserve_for_line(text, line_buffer + tree.heap_bytes());
            parse_newick_tree_into(text, taxa, tree, node_count, {}, numbered);
            return true;
        });
    if (error) return *error;
    return line_number;
}

void check_line(std::string_view line, const LineProblemSink& problems) {
    if (const std::size_t bad = first_invalid_utf8_byte(line); bad < line.size()) {
        report_not_utf8(problems, bad);
        return;
    }
    TaxonSet taxa;
    Tree tree;
    parse_newick_tree_into(strip_line_ending(line), taxa, tree, std::nullopt, {}, problems);
}

std::vector<std::string> line_taxa(std::string_view line) {
    TaxonSet taxa;
    Tree tree;
    const LineProblemSink passed_over = [](LineProblem, std::string_view) {};
    parse_newick_tree_into(strip_line_ending(line), taxa, tree, std::nullopt, {}, passed_over);
    std::vector<std::string> names;
    for (const std::int32_t taxon : tree.node_taxons()) {
        if (taxon >= 0) names.push_back(taxa.taxon_names()[static_cast<std::size_t>(taxon)]);
    }
    return names;
}

}  // namespace treetally
