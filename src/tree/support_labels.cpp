#include "tree/support_labels.hpp"

#include "base/fatal_error.hpp"
#include "tree/newick_reader.hpp"

namespace treetally {

namespace {

// Enough of a label to recognise it; a label can be as long as its line.
constexpr std::size_t quoted_label_bytes = 60;

// `label` cut to at most quoted_label_bytes bytes, never inside a UTF-8 sequence (lines are
// valid UTF-8, and so must the message be).
std::string_view shortened(std::string_view label) {
    if (label.size() <= quoted_label_bytes) return label;
    std::size_t end = quoted_label_bytes;
    while (end > 0 && (static_cast<unsigned char>(label[end]) & 0xC0) == 0x80) --end;
    return label.substr(0, end);
}

}  // namespace

std::string not_a_support_value(std::size_t line_number, std::string_view label) {
    std::string message = "line " + std::to_string(line_number) + ": the internal label \"";
    const std::string_view shown = shortened(label);
    for (const char c : shown) {
        if (c == '"' || c == '\\') message.push_back('\\');
        message.push_back(c);
    }
    if (shown.size() < label.size()) message += "...";
    message += "\" is not a support value";
    return message;
}

std::string several_support_values(std::size_t line_number, std::string_view label) {
    return not_a_support_value(line_number, label) +
           " (it holds several values separated by \"/\": choose one with --support-index K, "
           "support_index=K in Python)";
}

std::string no_such_support_value(std::size_t line_number, std::string_view label,
                                  std::size_t index) {
    std::string message = not_a_support_value(line_number, label);
    message.resize(message.size() - std::string_view(" is not a support value").size());
    return message + " has no value " + std::to_string(index) + " (values separated by \"/\")";
}

namespace {

// Value `index` (from 1) of `label`'s values separated by "/"; nullopt when it has fewer.
std::optional<std::string_view> nth_value(std::string_view label, std::size_t index) {
    for (std::size_t k = 1;; ++k) {
        const std::size_t end = label.find('/');
        if (k == index) return label.substr(0, end);
        if (end == std::string_view::npos) return std::nullopt;
        label.remove_prefix(end + 1);
    }
}

}  // namespace

void SupportLabels::add(std::size_t line_number, NodeId node, std::string_view label) {
    if (node == NodeId::root()) return;
    std::optional<double> support;
    if (index_) {
        const auto chosen = nth_value(label, *index_);
        if (!chosen || chosen->empty())
            fail(ErrorKind::bad_support_label, no_such_support_value(line_number, label, *index_));
        support = parse_branch_length(*chosen);
    } else {
        support = parse_branch_length(label);
        if (!support && label.find('/') != std::string_view::npos)
            fail(ErrorKind::bad_support_label, several_support_values(line_number, label));
    }
    if (!support) fail(ErrorKind::bad_support_label, not_a_support_value(line_number, label));
    ++taken_;
    if (node.index() >= values_.size()) values_.resize(node.index() + 1);
    values_[node.index()] = *support;
}

}  // namespace treetally
