// The quoted form of a text taken from a file, for error messages: double
// quotes, backslash escapes for quote and backslash, \0 \t \r \n, and \u{..}
// (lowercase hex) for every other control or non-printable character.
#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// `text` is UTF-8; bytes that do not form a character are written as \x{..}.
// With `escape_combining`, characters with Grapheme_Extend (which would join the
// character before them when shown) are escaped too.
std::string quoted_text(std::string_view text, bool escape_combining = false);

}  // namespace quorvane
