#include "tree/newick_reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "tree/fatal_error.hpp"
#include "tree/messages.hpp"

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

// Index just past the "]" that closes a comment whose "[" is just before `from`;
// text.size() when the text ends inside the comment.
std::size_t skip_comment(std::string_view text, std::size_t from) {
    std::size_t depth = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '[') {
            ++depth;
        } else if (text[i] == ']') {
            if (depth == 0) return i + 1;
            --depth;
        }
    }
    return text.size();
}

// Nodes the reader will create for `text` in the usual case: the root plus one per "(" and ","
// before the first ";". Brackets inside labels or comments make it an overestimate, trimmed when
// the tree is finished; a ";" inside a comment makes it short and the arrays grow as usual.
std::size_t expected_node_count(std::string_view text) {
    const std::size_t end = std::min(text.find(';'), text.size());
    return 1 + node_openers_in(text.substr(0, end));
}

// Builds one tree while a single cursor moves over the text.
class NewickReader {
  public:
    NewickReader(std::string_view text, TaxonSet& taxon_set, TreeBuilder builder,
                 std::size_t node_count, const InternalLabelSink* internal_labels = nullptr)
        : text_(text),
          taxa_(taxon_set),
          internal_labels_(internal_labels != nullptr && *internal_labels ? internal_labels
                                                                          : nullptr),
          builder_(std::move(builder)) {
        // Exact-size arrays from the start: no regrowth while reading, no copy when trimming.
        // Past the id limit the builder raises its own error; the arrays must not ask for more.
        builder_.reserve(std::min(node_count, max_id_count));
    }

    // The tree, its arrays trimmed to size unless `keep_room`.
    Tree read(bool keep_room) && {
        std::move(*this).read_nodes();
        return keep_room ? std::move(builder_).finish_keeping_room() : std::move(builder_).finish();
    }

  private:
    void read_nodes() && {
        std::size_t i = 0;
        while (i < text_.size()) {
            switch (text_[i]) {
                case ' ':
                    ++i;
                    break;
                case '(':
                    open_child();
                    ++i;
                    break;
                case ',':
                    open_sibling();
                    ++i;
                    break;
                case ')':
                    current_ = builder_.tree().parent(current_);
                    ++i;
                    break;
                case ';':
                    return;
                case '[':
                    i = skip_comment(text_, i + 1);
                    break;
                case ':':
                    i = read_branch_length(i + 1);
                    break;
                default:
                    i = read_label(i);
                    break;
            }
        }
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
            if (!length) fail(ErrorKind::bad_branch_length, messages::invalid_float);
            builder_.set_branch_length(current_, *length);
        }
        return end;
    }

    std::string_view text_;
    TaxonSet& taxa_;
    const InternalLabelSink* internal_labels_;  // null when no caller asked for the labels
    TreeBuilder builder_;
    NodeId current_ = NodeId::root();
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
    return NewickReader(text, taxon_set, TreeBuilder(), expected_node_count(text))
        .read(/*keep_room=*/false);
}

Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set, std::size_t node_count) {
    return NewickReader(text, taxon_set, TreeBuilder(), node_count).read(/*keep_room=*/false);
}

void parse_newick_tree_into(std::string_view text, TaxonSet& taxon_set, Tree& tree,
                            std::optional<std::size_t> node_count,
                            const InternalLabelSink& internal_labels) {
    const std::size_t nodes = node_count ? *node_count : expected_node_count(text);
    tree = NewickReader(text, taxon_set, TreeBuilder(std::move(tree)), nodes, &internal_labels)
               .read(/*keep_room=*/true);
}

}  // namespace treetally
