// The sets behind the classes of split patterns, as the reference defines them, built
// from the Unicode 15.0 tables: named properties (\p{..}), POSIX brackets, the
// backslash classes, and case folding for case-insensitive matching.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "unicode/code_point_set.h"

namespace quorvane::pattern_sets {

// \p{name}: General_Category and Script values by any of their names, the binary
// properties Alphabetic, Uppercase, Lowercase and White_Space, Any, Assigned and the
// POSIX names (but Punct is the category P). Names match loosely (case, spaces, '-'
// and '_' ignored). False when the name is unknown. `in_bracket`: see word_chars.
bool named_property(std::string_view name, bool in_bracket, CodePointSet& out);

// [:name:] inside a bracket class. False when the name is unknown.
bool posix_class(std::string_view name, CodePointSet& out);

// \w. Outside a bracket class the reference also counts U+00B2, U+00B3, U+00B9 and
// U+00BC..U+00BE as word characters (for \w, \W, \p{Word} and \b), inside not.
CodePointSet word_chars(bool in_bracket);
CodePointSet digit_chars();  // \d
CodePointSet space_chars();  // \s
CodePointSet hex_chars();    // \h

// Every code point that simple case folding makes equal to a member of `set`.
CodePointSet case_closure(const CodePointSet& set);

// Code points whose full case folding is two or three code points (such as U+00DF),
// closed under simple folding, and those folded sequences with each code point
// simply folded.
const CodePointSet& multi_fold_sources();
const std::vector<std::u32string>& multi_fold_targets();

// The simple case fold of one code point (itself when it has none).
uint32_t simple_fold(uint32_t cp);

}  // namespace quorvane::pattern_sets
