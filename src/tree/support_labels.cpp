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

void SupportLabels::add(std::size_t line_number, NodeId node, std::string_view label) {
    if (node == NodeId::root()) return;
    const auto support = parse_branch_length(label);
    if (!support) fail(ErrorKind::bad_support_label, not_a_support_value(line_number, label));
    if (node.index() >= values_.size()) values_.resize(node.index() + 1);
    values_[node.index()] = *support;
}

}  // namespace treetally
