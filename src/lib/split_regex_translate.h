// Translation of a split pattern from the reference's pattern language (Ruby-style
// syntax: nested classes, class intersection, line anchors, (?m) for dot-all) into
// a PCRE2 pattern of the same meaning.
//
// Every class, property, backslash class, case-insensitive literal, `.`, anchor and
// word boundary is expanded into explicit code point ranges from the Unicode 15.0
// tables, so the result needs neither PCRE2's Unicode tables nor its caseless mode.
// A construct that cannot be reproduced exactly is refused with a message naming it.
#pragma once

#include <string>
#include <string_view>

#include "lib/result.h"

namespace quorvane {

// The PCRE2 pattern (ASCII only; compile it with PCRE2_UTF and nothing Unicode-
// dependent), or an error "<what> at offset <n>".
Result<std::string> translate_split_pattern(std::string_view pattern);

}  // namespace quorvane
