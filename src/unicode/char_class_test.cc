#include "unicode/char_class.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "pcre_reference.h"
#include "unicode/unicode_properties.h"
#include "unicode/unicode_tables.h"

namespace quorvane {
namespace {

TEST(CharClassTest, AsciiClasses) {
  for (uint32_t b = 0; b < 128; ++b) {
    PlainClass want = PlainClass::kOther;
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) want = PlainClass::kLetter;
    if (b >= '0' && b <= '9') want = PlainClass::kNumber;
    if ((b >= 9 && b <= 13) || b == ' ') want = PlainClass::kSpace;
    EXPECT_EQ(char_class(b), want) << b;
  }
  EXPECT_EQ(cased_class('Q'), CasedClass::kUpper);
  EXPECT_EQ(cased_class('q'), CasedClass::kLower);
  EXPECT_EQ(cased_class('7'), CasedClass::kNumber);
  EXPECT_EQ(cased_class('\n'), CasedClass::kSpace);
  EXPECT_EQ(cased_class('/'), CasedClass::kOther);
}

TEST(CharClassTest, WhitespaceIsExactlyTheTwentyFiveCodePoints) {
  int count = 0;
  for (uint32_t cp = 0; cp < 0x110000; ++cp) count += is_whitespace(cp);
  EXPECT_EQ(count, 25);
  EXPECT_FALSE(is_whitespace(0x180E));  // no longer White_Space since Unicode 6.3
  EXPECT_FALSE(is_whitespace(0x200B));
  EXPECT_TRUE(is_whitespace(0x202F));
  EXPECT_EQ(char_class(0x3000), PlainClass::kSpace);
}

TEST(CharClassTest, NonAsciiClasses) {
  EXPECT_EQ(cased_class(0x01C5), CasedClass::kUpper);        // Dž, title case
  EXPECT_EQ(cased_class(0x00DF), CasedClass::kLower);        // ß
  EXPECT_EQ(cased_class(0x02B0), CasedClass::kOtherLetter);  // modifier letter h (Lm)
  EXPECT_EQ(cased_class(0x4E2D), CasedClass::kOtherLetter);  // 中 (Lo)
  EXPECT_EQ(cased_class(0x0301), CasedClass::kMark);
  EXPECT_EQ(char_class(0x0301), PlainClass::kOther);
  EXPECT_EQ(char_class(0x2167), PlainClass::kNumber);  // Roman numeral eight (Nl)
  EXPECT_EQ(char_class(0x00BD), PlainClass::kNumber);  // ½ (No)
  EXPECT_EQ(char_class(0x00AD), PlainClass::kOther);   // soft hyphen (Cf)
  EXPECT_TRUE(is_punct_or_symbol(0x3001));
  EXPECT_TRUE(is_punct_or_symbol(0x30FB));
  EXPECT_TRUE(is_punct_or_symbol('$'));
  EXPECT_FALSE(is_punct_or_symbol('a'));
  EXPECT_TRUE(is_mark(0x1D167));            // musical combining mark
  EXPECT_TRUE(is_upper_or_title(0x1D400));  // mathematical bold A
  EXPECT_TRUE(is_lower(0x1D41A));
  EXPECT_TRUE(is_punct_or_symbol(0x1F600));  // emoji (So)
  EXPECT_TRUE(is_number(0x1D7CE));           // mathematical bold digit zero
  // Assigned in Unicode 15.0: CJK Extension H, Kawi, Cyrillic modifier letters.
  EXPECT_EQ(cased_class(0x31350), CasedClass::kOtherLetter);
  EXPECT_TRUE(is_letter(0x11F04));
  EXPECT_TRUE(is_mark(0x11F00));
  EXPECT_TRUE(is_letter(0x1E030));
  // Assigned only after 15.0 (CJK Extension I, Unicode 15.1): no property.
  EXPECT_EQ(char_class(0x2EBF0), PlainClass::kOther);
  EXPECT_EQ(char_class(0x10FFFF), PlainClass::kOther);
  EXPECT_EQ(char_class(0x1FFFFF), PlainClass::kOther);  // beyond Unicode, from a bad lead byte
}

TEST(CharClassTest, RangeListsAreSortedAndDisjoint) {
  namespace ut = unicode_tables;
  struct List {
    const ut::CodeRange* ranges;
    size_t count;
  };
  for (List l :
       {List{ut::kLetterRanges, ut::kLetterRangeCount},
        List{ut::kNumberRanges, ut::kNumberRangeCount}, List{ut::kMarkRanges, ut::kMarkRangeCount},
        List{ut::kUpperOrTitleRanges, ut::kUpperOrTitleRangeCount},
        List{ut::kLowerRanges, ut::kLowerRangeCount},
        List{ut::kPunctOrSymbolRanges, ut::kPunctOrSymbolRangeCount}}) {
    EXPECT_GE(l.ranges[0].first, 0x10000u);
    for (size_t i = 0; i < l.count; ++i) {
      EXPECT_LE(l.ranges[i].first, l.ranges[i].last);
      if (i > 0) EXPECT_GT(l.ranges[i].first, l.ranges[i - 1].last + 1);
    }
  }
}

// PCRE2 here has Unicode 14 tables: every code point must get the same classes
// from it, except characters that Unicode 15.0 newly assigned.
// Unassigned in our Unicode 15.0 tables.
bool UnassignedInOurTables(uint32_t cp) {
  using namespace unicode_properties;
  for (size_t i = 0; i < kGeneralCategoriesCount; ++i) {
    if (std::string_view(kGeneralCategories[i].name) != "Cn") continue;
    const NamedRanges& cn = kGeneralCategories[i];
    for (size_t r = 0; r < cn.count; ++r)
      if (cn.ranges[r].first <= cp && cp <= cn.ranges[r].last) return true;
  }
  return false;
}

// PCRE2's tables are another Unicode version (14.0 on Debian 12, 16.0 on Debian 13): the two
// may differ only on the characters one of the versions has not assigned yet.
TEST(CharClassTest, AgreesWithPcreExceptOtherVersionsAdditions) {
  testing::ClassAgreement agreement;
  size_t new_in_15 = 0, new_after_15 = 0;
  for (uint32_t cp = 0x80; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (agreement.Agrees(cp)) continue;
    if (agreement.Unassigned(cp)) {
      ++new_in_15;
    } else {
      ASSERT_TRUE(UnassignedInOurTables(cp)) << std::hex << "U+" << cp;
      ++new_after_15;
    }
  }
  ASSERT_TRUE(new_in_15 == 0 || new_after_15 == 0) << "PCRE2 is both older and newer";
  if (new_in_15 > 0) {
    EXPECT_GT(new_in_15, 4000u);  // Unicode 15.0 added 4,489 characters
    EXPECT_LE(new_in_15, 4489u);
  }
}

}  // namespace
}  // namespace quorvane
