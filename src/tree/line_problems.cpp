#include "tree/line_problems.hpp"

#include <cstdio>

namespace treetally {

namespace {

// How many characters of a label or length a detail quotes.
constexpr std::size_t shown_characters = 40;

bool is_continuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The code point of the UTF-8 sequence at `text[at]` and its length; a byte that begins no
// valid sequence stands for itself.
std::pair<char32_t, std::size_t> code_point_at(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length == 1 || at + length > text.size()) return {lead, 1};
    char32_t point = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if (!is_continuation(text[at + k])) return {lead, 1};
        point = (point << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
    }
    return {point, length};
}

// The characters repr() writes escaped although they are not ASCII: the C1 controls and the
// usual invisible ones (spaces other than " ", format characters, line and paragraph separators).
bool is_invisible(char32_t point) {
    return (point >= 0x80 && point <= 0xA0) || point == 0xAD || point == 0x1680 ||
           (point >= 0x2000 && point <= 0x200F) || (point >= 0x2028 && point <= 0x202F) ||
           (point >= 0x205F && point <= 0x2064) || point == 0x3000 || point == 0xFEFF;
}

void append_escaped(std::string& out, char32_t point) {
    char buffer[12];
    if (point < 0x100) {
        std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(point));
    } else {
        std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(point));
    }
    out += buffer;
}

}  // namespace

std::string_view line_problem_name(LineProblem problem) {
    static constexpr std::array<std::string_view, line_problem_count> names{
        "empty line",  "not UTF-8", "bad branch length", "negative branch length",
        "unbalanced brackets", "text after ';'", "missing ';'", "no taxa",
        "repeated taxon",
    };
    return names[static_cast<std::size_t>(problem)];
}

void LineProblems::note(LineProblem problem, std::string detail) {
    if (found_[index(problem)]) return;
    found_[index(problem)] = true;
    details_[index(problem)] = std::move(detail);
}

void LineProblems::hand_out(const LineProblemSink& sink) const {
    for (std::size_t k = 0; k < line_problem_count; ++k) {
        if (found_[k]) sink(static_cast<LineProblem>(k), details_[k]);
    }
}

bool is_blank_line(std::string_view text) {
    return text.find_first_not_of(" \t\r") == std::string_view::npos;
}

std::size_t column_of(std::string_view text, std::size_t at) {
    std::size_t column = 1;
    for (std::size_t k = 0; k < at && k < text.size(); ++k) column += is_continuation(text[k]) ? 0 : 1;
    return column;
}

std::string quoted_excerpt(std::string_view text) {
    // The characters shown: the first shown_characters, never a part of a sequence.
    std::size_t end = 0;
    std::size_t characters = 0;
    while (end < text.size() && characters < shown_characters) {
        end += code_point_at(text, end).second;
        ++characters;
    }
    const bool cut = end < text.size();
    const std::string_view shown = text.substr(0, end);
    const char quote =
        shown.find('\'') != std::string_view::npos && shown.find('"') == std::string_view::npos
            ? '"'
            : '\'';
    std::string out(1, quote);
    for (std::size_t at = 0; at < shown.size();) {
        const auto [point, length] = code_point_at(shown, at);
        if (point == static_cast<char32_t>(quote) || point == '\\') {
            out += '\\';
            out += static_cast<char>(point);
        } else if (point == '\t') {
            out += "\\t";
        } else if (point == '\n') {
            out += "\\n";
        } else if (point == '\r') {
            out += "\\r";
        } else if (point < 0x20 || point == 0x7F || is_invisible(point) ||
                   (length == 1 && point >= 0x80)) {
            append_escaped(out, point);
        } else {
            out += shown.substr(at, length);
        }
        at += length;
    }
    if (cut) out += "...";
    out += quote;
    return out;
}

}  // namespace treetally
