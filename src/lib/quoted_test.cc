#include "lib/quoted.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

TEST(QuotedText, EscapesCombiningCharactersOnlyWhenAsked) {
  // a, U+0301 (Mn), U+09BE (Mc with Grapheme_Extend), U+0903 (Mc without).
  const std::string text = "a\xCC\x81\xE0\xA6\xBE\xE0\xA4\x83";
  EXPECT_EQ(quoted_text(text), "\"" + text + "\"");
  EXPECT_EQ(quoted_text(text, true), "\"a\\u{301}\\u{9be}\xE0\xA4\x83\"");
  // Not printable whatever the flag: format (U+200C, also Grapheme_Extend), private use,
  // unassigned, paragraph separator.
  EXPECT_EQ(quoted_text("\xE2\x80\x8C\xEE\x80\x80\xCD\xB8\xE2\x80\xA9"),
            R"("\u{200c}\u{e000}\u{378}\u{2029}")");
}

}  // namespace
}  // namespace quorvane
