#include "tree/newick_reader.hpp"

#include <array>
#include <cstddef>

#include "tree/fatal_error.hpp"

namespace treetally {

namespace {

constexpr char invalid_float_message[] =
    "called `Result::unwrap()` on an `Err` value: ParseFloatError { kind: Invalid }";

// Byte classes that end a label or a branch length; a table keeps the scan loops branch-light.
constexpr std::array<bool, 256> stop_table(std::string_view stops) {
    std::array<bool, 256> table{};
    for (char c : stops) table[static_cast<unsigned char>(c)] = true;
    return table;
}
constexpr auto label_stops = stop_table("),:;[");
constexpr auto length_stops = stop_table("),;[");

// Index of the first byte at or after `from` that is in `stops`, or text.size().
std::size_t scan_until(std::string_view text, std::size_t from,
                       const std::array<bool, 256>& stops) {
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

// Builds one tree while a single cursor moves over the text.
class NewickReader {
  public:
    NewickReader(std::string_view text, TaxonSet& taxon_set) : text_(text), taxa_(taxon_set) {}

    Tree read() && {
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
                    return std::move(builder_).finish();
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
        return std::move(builder_).finish();
    }

  private:
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
        // Labels after ")" (internal nodes, support values) are dropped.
        if (builder_.tree().child_count(current_) == 0) {
            builder_.set_taxon(current_, taxa_.insert_or_get(text_.substr(start, end - start)));
        }
        return end;
    }

    // Reads the length text starting at `start`; returns the index of the byte that ended it.
    std::size_t read_branch_length(std::size_t start) {
        const std::size_t end = scan_until(text_, start, length_stops);
        if (end > start) {
            const auto length = parse_branch_length(text_.substr(start, end - start));
            if (!length) fail(invalid_float_message);
            builder_.set_branch_length(current_, *length);
        }
        return end;
    }

    std::string_view text_;
    TaxonSet& taxa_;
    TreeBuilder builder_;
    NodeId current_ = NodeId::root();
};

}  // namespace

Tree parse_newick_tree(std::string_view text, TaxonSet& taxon_set) {
    return NewickReader(text, taxon_set).read();
}

}  // namespace treetally
