#include "tree/newick_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "tree/line_problems.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace treetally {

namespace {

// Byte classes that end a label or a branch length; a table keeps the scan loops branch-light.
constexpr std::array<bool, 256> stop_table(std::string_view stops) {
    std::array<bool, 256> table{};
    for (char c : stops) table[static_cast<unsigned char>(c)] = true;
    return table;
}
constexpr auto label_stops = stop_table("),:;[");
constexpr auto length_stops = stop_table("),;[");

#if defined(__SSE2__)
// Bit i set when byte i of the 16 at `p` is one of the label stops (and, unless
// `colon_stops`, not ':'). The five compares replace sixteen table lookups.
unsigned stop_bits_of_16(const char* p, bool colon_stops) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(')')),
                                _mm_cmpeq_epi8(bytes, _mm_set1_epi8(',')));
    hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(';')));
    hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('[')));
    if (colon_stops) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(':')));
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// Index of the first byte at or after `from` that is in `stops`, or text.size().
std::size_t scan_until(std::string_view text, std::size_t from,
                       const std::array<bool, 256>& stops) {
#if defined(__SSE2__)
    const bool colon_stops = stops[static_cast<unsigned char>(':')];
    while (from + 16 <= text.size()) {
        const unsigned bits = stop_bits_of_16(text.data() + from, colon_stops);
        if (bits != 0) return from + static_cast<std::size_t>(std::countr_zero(bits));
        from += 16;
    }
#endif
    while (from < text.size() && !stops[static_cast<unsigned char>(text[from])]) ++from;
    return from;
}

// Index just past the "]" that closes a comment whose "[" is just before `from`; nullopt when
// the text ends inside the comment.
std::optional<std::size_t> comment_end(std::string_view text, std::size_t from) {
    std::size_t depth = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '[') {
            ++depth;
        } else if (text[i] == ']') {
            if (depth == 0) return i + 1;
            --depth;
        }
    }
    return std::nullopt;
}

// comment_end, or text.size() for a comment never closed: the reader skips the rest.
std::size_t skip_comment(std::string_view text, std::size_t from) {
    return comment_end(text, from).value_or(text.size());
}

// Nodes the reader will create for `text` in the usual case: the root plus one per "(" and ","
// before the first ";". Brackets inside labels or comments make it an overestimate, trimmed when
// the tree is finished; a ";" inside a comment makes it short and the arrays grow as usual.
std::size_t expected_node_count(std::string_view text) {
    const std::size_t end = std::min(text.find(';'), text.size());
    return 1 + node_openers_in(text.substr(0, end));
}

// What the checking reader notes beside the tree: how deep it is in brackets and the problems
// met. Empty for the usual reader, which notes nothing.
struct NoNotes {};
struct CheckNotes {
    const LineProblemSink* sink = nullptr;
    std::size_t depth = 0;
    LineProblems problems;
};

// Builds one tree while a single cursor moves over the text. The checking reader (Checking)
// reads exactly as the usual one and also notes each problem it meets; it reports a branch
// length that is not a number instead of failing, and reads on. Two instantiations, so that the
// usual reading carries no test of whether to check; the note_* members serve the checking one
// alone.
template <bool Checking>
class NewickReader {
  public:
    NewickReader(std::string_view text, TaxonSet& taxon_set, TreeBuilder builder,
                 std::size_t node_count, const InternalLabelSink* internal_labels = nullptr,
                 const InternalLengthSink* internal_lengths = nullptr)
        : text_(text),
          taxa_(taxon_set),
          internal_labels_(internal_labels != nullptr && *internal_labels ? internal_labels
                                                                          : nullptr),
          internal_lengths_(internal_lengths != nullptr && *internal_lengths ? internal_lengths
                                                                             : nullptr),
          builder_(std::move(builder)) {
        // Exact-size arrays from the start: no regrowth while reading, no copy when trimming.
        // Past the id limit the builder raises its own error; the arrays must not ask for more.
        builder_.reserve(std::min(node_count, max_id_count));
    }

    // The tree, its arrays trimmed to size unless `keep_room`.
    Tree read(bool keep_room) && {
        const std::size_t end = read_nodes();
        if constexpr (Checking) {
            note_line_problems(end);
            notes_.problems.hand_out(*notes_.sink);
        }
        return keep_room ? std::move(builder_).finish_keeping_room() : std::move(builder_).finish();
    }

    // Where read() hands the problems of the line, in the order of LineProblem.
    void report_to(const LineProblemSink& sink) {
        notes_.sink = &sink;
    }

  private:
    // Reads up to the first ';' outside a comment; returns its index (text_.size() without one).
    std::size_t read_nodes() {
        std::size_t i = 0;
        while (i < text_.size()) {
            switch (text_[i]) {
                case ' ':
                    ++i;
                    break;
                case '(':
                    if constexpr (Checking) ++notes_.depth;
                    open_child();
                    ++i;
                    break;
                case ',':
                    open_sibling();
                    ++i;
                    break;
                case ')':
                    if constexpr (Checking) note_closing(i);
                    current_ = builder_.tree().parent(current_);
                    ++i;
                    break;
                case ';':
                    return i;
                case '[':
                    if constexpr (Checking) {
                        i = note_comment(i);
                    } else {
                        i = skip_comment(text_, i + 1);
                    }
                    break;
                case ':':
                    i = read_branch_length(i + 1);
                    break;
                default:
                    i = read_label(i);
                    break;
            }
        }
        return text_.size();
    }

    void open_child() {
        const NodeId child = builder_.append_child_of(current_);
        builder_.set_first_child(current_, child);
        current_ = child;
    }

    void open_sibling() {
        const NodeId sibling = builder_.append_child_of(builder_.tree().parent(current_));
        builder_.set_next_sibling(current_, sibling);
        current_ = sibling;
    }

    // Reads the label starting at `start`; returns the index of the byte that ended it.
    std::size_t read_label(std::size_t start) {
        const std::size_t end = scan_until(text_, start + 1, label_stops);
        if constexpr (Checking) note_label(start, end);
        if (builder_.tree().child_count(current_) == 0) {
            builder_.set_taxon(current_, taxa_.insert_or_get(text_.substr(start, end - start)));
        } else if (internal_labels_ != nullptr) [[unlikely]] {
            // Labels after ")" (internal nodes, support values) name no taxon: only a caller
            // that asked for them sees them.
            hand_out_label(text_.substr(start, end - start));
        }
        return end;
    }

    // Out of line, so that the loop of the usual reading, which never calls it, stays small.
    [[gnu::noinline]] void hand_out_label(std::string_view label) const {
        (*internal_labels_)(current_, label);
    }

    // Reads the length text starting at `start`; returns the index of the byte that ended it.
    std::size_t read_branch_length(std::size_t start) {
        const std::size_t end = scan_until(text_, start, length_stops);
        if (end > start) {
            const auto length = parse_branch_length(text_.substr(start, end - start));
            if constexpr (Checking) {
                if (!length) {
                    note_bad_length(start, end);
                    return end;
                }
                // The root's length lies between no two taxa: only branches are judged.
                if (*length < 0.0 && current_ != NodeId::root()) note_negative_length(start, end);
            }
            if (!length) fail(ErrorKind::bad_branch_length, messages::invalid_float);
            builder_.set_branch_length(current_, *length);
            if (internal_lengths_ != nullptr && builder_.tree().child_count(current_) != 0)
                [[unlikely]] {
                (*internal_lengths_)(current_);
            }
        }
        return end;
    }

    // The checking reader's notes, each on what the usual reader passes over.

    void note(LineProblem problem, std::string detail) {
        notes_.problems.note(problem, std::move(detail));
    }

    std::string column(std::size_t at) const { return std::to_string(column_of(text_, at)); }

    void note_closing(std::size_t at) {
        // The reader stays at the root.
        if (notes_.depth == 0) {
            note(LineProblem::unbalanced_brackets, "')' at column " + column(at) + " closes no '('");
        } else {
            --notes_.depth;
        }
    }

    std::size_t note_comment(std::size_t at) {
        if (const auto end = comment_end(text_, at + 1)) return *end;
        note(LineProblem::unbalanced_brackets,
             "the comment opened at column " + column(at) + " is never closed");
        return text_.size();
    }

    void note_label(std::size_t start, std::size_t end) {
        const std::string_view label = text_.substr(start, end - start);
        if (label.find(']') != std::string_view::npos) {
            note(LineProblem::unbalanced_brackets, "']' outside a comment, in the label " +
                                                       quoted_excerpt(label) + " at column " +
                                                       column(start));
        } else if (label.find('(') != std::string_view::npos) {
            // A "(" after a label opens no node: it belongs to the label.
            note(LineProblem::unbalanced_brackets, "'(' inside the label " + quoted_excerpt(label) +
                                                       " at column " + column(start));
        }
    }

    void note_bad_length(std::size_t start, std::size_t end) {
        note(LineProblem::bad_branch_length,
             "the branch length " + quoted_excerpt(text_.substr(start, end - start)) +
                 " at column " + column(start) + " is not a number");
    }

    void note_negative_length(std::size_t start, std::size_t end) {
        note(LineProblem::negative_length,
             "the branch length " + quoted_excerpt(text_.substr(start, end - start)) +
                 " at column " + column(start) + " is below zero");
    }

    // What shows only at the end: brackets left open, the end of the tree, its taxa.
    void note_line_problems(std::size_t semicolon) {
        if (notes_.depth > 0)
            note(LineProblem::unbalanced_brackets,
                 std::to_string(notes_.depth) + " '(' never closed");
        if (semicolon == text_.size()) {
            note(LineProblem::missing_semicolon, "no ';' ends the tree");
        } else {
            std::string_view rest = text_.substr(semicolon + 1);
            const std::size_t first = rest.find_first_not_of(" \t\r");
            if (first != std::string_view::npos) {
                rest = rest.substr(first, rest.find_last_not_of(" \t\r") + 1 - first);
                note(LineProblem::text_after_semicolon,
                     quoted_excerpt(rest) + " follows the ';' at column " + column(semicolon) +
                         " and is not read");
            }
        }
        note_taxa();
    }

    // No taxon at all, or one on more than one node (the module keeps the later node).
    void note_taxa() {
        const auto node_taxa = builder_.tree().node_taxons();
        std::vector<std::int32_t> sorted;
        sorted.reserve(node_taxa.size());
        for (const std::int32_t taxon : node_taxa) {
            if (taxon >= 0) sorted.push_back(taxon);
        }
        if (sorted.empty()) {
            note(LineProblem::no_taxa, "the tree holds no taxon");
            return;
        }
        // Sorted, a taxon on two nodes sits beside itself: the usual clean line ends here.
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return;
        std::vector<std::int32_t> order;  // each repeated taxon once, by its first node
        std::unordered_map<std::int32_t, std::size_t> nodes_of;
        for (const std::int32_t taxon : node_taxa) {
            if (taxon >= 0 && ++nodes_of[taxon] == 2) order.push_back(taxon);
        }
        constexpr std::size_t named = 5;
        std::string shown;
        for (std::size_t k = 0; k < order.size() && k < named; ++k) {
            if (k > 0) shown += ", ";
            shown += quoted_excerpt(taxa_.taxon_names()[static_cast<std::size_t>(order[k])]);
        }
        if (order.size() > named) shown += " ...";
        const std::string several =
            order.size() > 1 ? std::to_string(order.size()) + " taxa" : std::string("a taxon");
        note(LineProblem::repeated_taxon, several + " on more than one leaf: " + shown);
    }

    std::string_view text_;
    TaxonSet& taxa_;
    const InternalLabelSink* internal_labels_;  // null when no caller asked for the labels
    const InternalLengthSink* internal_lengths_;  // null when no caller asked for the lengths
    TreeBuilder builder_;
    NodeId current_ = NodeId::root();
    [[no_unique_address]] std::conditional_t<Checking, CheckNotes, NoNotes> notes_;
};

}  // namespace

std::size_t node_openers_in(std::string_view text) {
    std::size_t count = 0;
    // Blocks of at most 255 bytes keep an 8-bit counter, which the compiler vectorises.
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t block_end = std::min(text.size(), i + 255);
        std::uint8_t block = 0;
        for (; i < block_end; ++i)
            block = static_cast<std::uint8_t>(block + ((text[i] == '(') | (text[i] == ',')));
        count += block;
    }
    return count;
}

ReaderYield reader_yield_of(std::string_view text) {
    // The reader's own dispatch, with counting in place of building.
    ReaderYield yield;
    std::size_t i = 0;
    while (i < text.size()) {
        switch (text[i]) {
            case ' ':
            case ')':
                ++i;
                break;
            case '(':
            case ',':
                ++yield.nodes;
                ++i;
                break;
            case ';':
                return yield;
            case '[':
                i = skip_comment(text, i + 1);
                break;
            case ':':
                i = scan_until(text, i + 1, length_stops);
                break;
            default: {
                const std::size_t end = scan_until(text, i + 1, label_stops);
                ++yield.labels;
                yield.label_bytes += end - i;
                i = end;
                break;
            }
        }
    }
    return yield;
}

Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set) {
    return NewickReader<false>(text, taxon_set, TreeBuilder(), expected_node_count(text))
        .read(/*keep_room=*/false);
}

Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set, std::size_t node_count) {
    return NewickReader<false>(text, taxon_set, TreeBuilder(), node_count)
        .read(/*keep_room=*/false);
}

void parse_newick_tree_into(std::string_view text, TaxonSet& taxon_set, Tree& tree,
                            std::optional<std::size_t> node_count,
                            const InternalLabelSink& internal_labels,
                            const LineProblemSink& problems,
                            const InternalLengthSink& internal_lengths) {
    const std::size_t nodes = node_count ? *node_count : expected_node_count(text);
    if (!problems) {
        tree = NewickReader<false>(text, taxon_set, TreeBuilder(std::move(tree)), nodes,
                                   &internal_labels, &internal_lengths)
                   .read(/*keep_room=*/true);
        return;
    }
    if (is_blank_line(text)) {
        // Whatever the reader makes of blanks (a tab is a label), the line holds no tree.
        problems(LineProblem::empty_line, "the line is empty");
        tree = NewickReader<false>(text, taxon_set, TreeBuilder(std::move(tree)), nodes,
                                   &internal_labels, &internal_lengths)
                   .read(/*keep_room=*/true);
        return;
    }
    NewickReader<true> reader(text, taxon_set, TreeBuilder(std::move(tree)), nodes,
                              &internal_labels, &internal_lengths);
    reader.report_to(problems);
    tree = std::move(reader).read(/*keep_room=*/true);
}

}  // namespace treetally
