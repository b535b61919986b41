// Strict UTF-8 validation of a byte string: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequences.
#pragma once

#include <string_view>

namespace treetally {

bool is_valid_utf8(std::string_view bytes);

// Where the first sequence that is not valid UTF-8 starts in `bytes`, by the same rules (the
// place a line's check names); bytes.size() when all is valid. Byte by byte: for reports only.
std::size_t first_invalid_utf8_byte(std::string_view bytes);

}  // namespace treetally
