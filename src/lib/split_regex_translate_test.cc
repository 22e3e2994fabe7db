#include "lib/split_regex_translate.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/split_regex.h"
#include "pcre_reference.h"
#include "unicode/char_class.h"

namespace quorvane {
namespace {

using testing::Utf8;

TEST(TranslateSplitPattern, RefusesWhatItCannotReproduceNamingIt) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"(a\1)", "backreference \\1 at offset 1"},
      {R"(\k<n>)", "unsupported escape \\k"},
      {R"(\X)", "unsupported escape \\X"},
      {R"(\R)", "unsupported escape \\R"},
      {R"(a\Kb)", "unsupported escape \\K"},
      {R"(\Qa\E)", "unsupported escape \\Q"},
      {R"(\G)", "unsupported escape \\G"},
      {R"(\pL)", "property escape without braces"},
      {R"(\p{Emoji})", "unknown property \\p{Emoji}"},
      {R"([[:Alpha:]])", "unknown POSIX class [:Alpha:]"},
      {R"((?s).)", "unsupported group (?s"},
      {R"((?u)\w)", "unsupported group (?u"},
      {R"((?~a))", "unsupported group (?~"},
      {R"((?(1)a))", "unsupported group (?("},
      {R"(\xe9)", "\\x escape of a byte above 0x7F"},
      {R"(\u00e)", "invalid \\u escape"},
      {R"(\x{110000})", "invalid code point escape"},
      {R"(a**)", "nested quantifier"},
      {R"(*a)", "quantifier without a target"},
      {R"(\b+)", "quantifier after an assertion"},
      {R"(a{2,1})", "repeat bounds in reverse order"},
      {R"(a{70000})", "repeat count above 65535"},
      {R"([z-a])", "empty range in character class"},
      {R"([\w-z])", "'-' after a class in a character class"},
      {R"([&&a])", "empty operand of && in a character class"},
      {R"([a&&])", "empty operand of && in a character class"},
      {R"([abc)", "missing terminating ] for character class at offset 4"},
      {R"(a(b)", "missing closing parenthesis at offset 3"},
      {R"(a)b)", "unmatched closing parenthesis at offset 1"},
      {R"((?i)ss)", "case-insensitive text that a multi-character folding matches"},
      {"(?i)\xC3\x9F", "case-insensitive character with a multi-character folding"},
      {R"((?i)[a-z\x{130}])", "case-insensitive class with a multi-character folding"},
      {R"((?i)f(?:f))", "case-insensitive text that a multi-character folding matches"},
      {R"((?i)[a&&b])", "case-insensitive class intersection"},
      {R"([^[^\w\P{Nd}]])", "negated class with a negated item inside a negated class"},
      {R"([b-&&c])", "'-' before && in a character class"},
      {R"((?:(?!o)|f){2})", "repeated group that can match the empty string at offset 11"},
      {R"((a|b?\b)+)", "repeated group that can match the empty string"},
      {R"((?:a?(?=b))*)", "repeated group that can match the empty string"},
      {R"((?:)?(?:a?){1,})", "repeated group that can match the empty string"},
      {R"(a{,2}+)", "repeated group that can match the empty string"},
  };
  for (const auto& [pattern, message] : refused) {
    const auto r = translate_split_pattern(pattern);
    ASSERT_FALSE(r) << pattern << " -> " << r.value();
    EXPECT_NE(r.error().find(message), std::string::npos) << pattern << ": " << r.error();
  }
  // Run once at most, a group that can match empty means the same in both engines.
  for (const char* pattern : {R"((?:a?)?)", R"((?:|a){0,1}?)", R"((?:a?){1})", R"((?:ab?)+)"})
    EXPECT_TRUE(translate_split_pattern(pattern)) << pattern;
}

// The compiled classes and the scanners' tables come from different generated
// files; both must be Unicode 15.0 on every code point, whatever PCRE2's version.
TEST(TranslateSplitPattern, ClassesAgreeWithTheScannerTablesOnEveryCodePoint) {
  std::string text;
  std::vector<uint32_t> cps;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    text += Utf8(cp);
    cps.push_back(cp);
  }
  const std::vector<std::pair<const char*, bool (*)(uint32_t)>> classes = {
      {R"(\p{L})", is_letter},
      {R"(\p{N})", is_number},
      {R"([\p{M}])", is_mark},
      {R"([\p{Lu}\p{Lt}])", is_upper_or_title},
      {R"(\p{Lowercase_Letter})", is_lower},
      {R"([\p{P}\p{S}])", is_punct_or_symbol},
      {R"(\s)", is_whitespace},
  };
  for (const auto& [pattern, has] : classes) {
    std::vector<SplitRegex> re;
    re.push_back(SplitRegex::compile(pattern).value());
    std::vector<bool> matched(cps.size(), false);
    size_t k = 0;  // index of the code point at byte offset `at`
    uint64_t at = 0;
    for (const Span& s : regex_pieces(re, text)) {
      // A match is one character; a gap is one or more.
      size_t n = 0;
      for (uint64_t b = s.start; b < s.end; ++b)
        n += (static_cast<uint8_t>(text[b]) & 0xC0) != 0x80;
      if (n == 1 && has(cps[k]) == true) matched[k] = true;
      k += n;
      at = s.end;
    }
    ASSERT_EQ(at, text.size());
    // Every code point the table has must be a single-character piece; the others
    // must not (a lone non-member between two members would also be one).
    size_t wrong = 0;
    for (size_t i = 0; i < cps.size(); ++i) wrong += matched[i] != has(cps[i]);
    EXPECT_EQ(wrong, 0u) << pattern;
  }
}

TEST(TranslateSplitPattern, LettersAndDigitsOfUnicode15) {
  const auto pieces = [](const char* pattern, const std::string& text) {
    std::vector<SplitRegex> re;
    re.push_back(SplitRegex::compile(pattern).value());
    return regex_pieces(re, text).size();
  };
  EXPECT_EQ(pieces(R"(\p{L}+)", "a" + Utf8(0x31350) + "b"), 1u);         // CJK Extension H
  EXPECT_EQ(pieces(R"(\d+)", "12" + Utf8(0x1E4F0) + "34"), 1u);          // Nag Mundari digit zero
  EXPECT_EQ(pieces(R"(\w+)", "x" + Utf8(0x11F04) + Utf8(0x11F00)), 1u);  // Kawi letter and mark
}

}  // namespace
}  // namespace quorvane
