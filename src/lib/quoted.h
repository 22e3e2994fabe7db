// The quoted form of a text taken from a file, for error messages: double
// quotes, backslash escapes for quote and backslash, \0 \t \r \n, and \u{..}
// (lowercase hex) for every other control or non-printable character.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// `text` is UTF-8; bytes that do not form a character are written as \x{..}.
std::string quoted_text(std::string_view text);

}  // namespace quorvane
