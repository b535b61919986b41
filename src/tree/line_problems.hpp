// The problems of one line of a tree file that the reader passes over silently (or, for two of
// them, refuses the file for): what `check` lists and what `info` warns of. The reader meets
// most of them while it reads; the loader meets the line that is not UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace treetally {

// In the order in which a line's problems are reported.
enum class LineProblem : std::uint8_t {
    empty_line,           // nothing but spaces, tabs and carriage returns
    not_utf8,             // the loader refuses the file
    bad_branch_length,    // a length that is not a number: the reader refuses the file
    negative_length,      // a length below zero: read as written, but rarely meant
    unbalanced_brackets,  // ")" closing nothing, "(" never closed, "[" never closed, "]" or "(" in a label
    text_after_semicolon, // ignored by the reader: a second tree on the line is lost
    missing_semicolon,    // read all the same, but a line cut short lacks it too
    no_taxa,              // not empty, yet no leaf label
    repeated_taxon,       // a taxon on two nodes of one tree: the later one wins
};
inline constexpr std::size_t line_problem_count = 9;

// The name each problem is reported by ("empty line", "not UTF-8", ...).
std::string_view line_problem_name(LineProblem problem);

// Receives one problem of a line with a sentence on where and what; each kind at most once per
// line, in the order of LineProblem. The view lasts for the call.
using LineProblemSink = std::function<void(LineProblem problem, std::string_view detail)>;

// What the reader found in one line, first detail of each kind kept, handed out in order.
class LineProblems {
  public:
    // Keeps `detail` unless a problem of that kind was noted already.
    void note(LineProblem problem, std::string detail);
    bool has(LineProblem problem) const { return found_[index(problem)]; }
    // Hands every problem noted to `sink` in the order of LineProblem.
    void hand_out(const LineProblemSink& sink) const;

  private:
    static std::size_t index(LineProblem problem) { return static_cast<std::size_t>(problem); }
    std::array<bool, line_problem_count> found_{};
    std::array<std::string, line_problem_count> details_;
};

// Whether `text` is nothing but spaces, tabs and carriage returns (an empty line).
bool is_blank_line(std::string_view text);

// The 1-based column of byte `at` of `text`, counted in characters (UTF-8 sequences), as an
// editor shows it.
std::size_t column_of(std::string_view text, std::size_t at);

// `text` quoted for a detail, as Python's repr() quotes a str: in single quotes (double ones
// when it holds a single quote and no double one), with backslashes, the quote and control
// characters escaped; cut after 40 characters with "..." inside the quotes.
std::string quoted_excerpt(std::string_view text);

}  // namespace treetally
