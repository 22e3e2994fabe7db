#include "lib/normalize.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

std::string norm(NormalizerKind kind, std::string_view text, bool* copied = nullptr) {
  NormalizedText out;
  normalize_text(kind, text, out);
  if (copied != nullptr) *copied = out.is_copy;
  return std::string(out.text);
}

TEST(Normalize, AsciiAndEmptyAreViewsForEveryKind) {
  const std::string ascii = "Hello, world!\t\n0123456789 ~{}|";
  for (int kind = 0; kind <= 6; ++kind) {
    NormalizedText out;
    normalize_text(static_cast<NormalizerKind>(kind), ascii, out);
    EXPECT_FALSE(out.is_copy) << kind;
    EXPECT_EQ(out.text.data(), ascii.data()) << kind;
    EXPECT_EQ(out.text.size(), ascii.size()) << kind;

    normalize_text(static_cast<NormalizerKind>(kind), std::string_view(), out);
    EXPECT_FALSE(out.is_copy);
    EXPECT_TRUE(out.text.empty());
  }
}

TEST(Normalize, ComposesAndDecomposes) {
  EXPECT_EQ(norm(kNormNFC, "e\xCC\x81"), "\xC3\xA9");
  EXPECT_EQ(norm(kNormNFD, "\xC3\xA9"), "e\xCC\x81");
  EXPECT_EQ(norm(kNormNFKC, "\xC3\xA9"), "\xC3\xA9");
  EXPECT_EQ(norm(kNormNFKD, "caf\xC3\xA9!"), "cafe\xCC\x81!");
}

TEST(Normalize, CompatibilityFormsOnlyUnderK) {
  const std::string fi = "\xEF\xAC\x81";  // U+FB01
  EXPECT_EQ(norm(kNormNFKC, fi), "fi");
  EXPECT_EQ(norm(kNormNFKD, fi), "fi");
  bool copied = true;
  EXPECT_EQ(norm(kNormNFC, fi, &copied), fi);
  EXPECT_FALSE(copied);
  EXPECT_EQ(norm(kNormNFD, fi, &copied), fi);
  EXPECT_FALSE(copied);
}

TEST(Normalize, MaybeGivesACopyWithTheSameBytes) {
  const std::string text = "x\xCC\x80";  // x + U+0300: NFC quick check says Maybe
  NormalizedText out;
  normalize_text(kNormNFC, text, out);
  EXPECT_TRUE(out.is_copy);
  EXPECT_EQ(out.text, text);
  EXPECT_NE(out.text.data(), text.data());
}

TEST(Normalize, MisorderedMarksAreReorderedUnderEveryForm) {
  // a + U+0301 (class 230) + U+0316 (class 220): out of canonical order.
  const std::string text = "a\xCC\x81\xCC\x96";
  for (NormalizerKind kind : {kNormNFC, kNormNFD, kNormNFKC, kNormNFKD}) {
    bool copied = false;
    const std::string got = norm(kind, text, &copied);
    EXPECT_TRUE(copied) << int(kind);
    EXPECT_NE(got, text) << int(kind);
  }
  EXPECT_EQ(norm(kNormNFD, text), "a\xCC\x96\xCC\x81");
  EXPECT_EQ(norm(kNormNFC, text), "\xC3\xA1\xCC\x96");
}

TEST(Normalize, NormalizedNonAsciiIsAView) {
  const std::string text = "\xE4\xBD\xA0\xE5\xA5\xBD \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80";
  for (NormalizerKind kind : {kNormNFC, kNormNFKC}) {
    bool copied = true;
    EXPECT_EQ(norm(kind, text, &copied), text);
    EXPECT_FALSE(copied);
  }
  bool copied = false;
  norm(kNormNFD, text, &copied);
  EXPECT_TRUE(copied);  // U+00E9 decomposes
}

TEST(Normalize, IllFormedBytesPassThroughUnchanged) {
  const std::string text = std::string("ab\xFF") + "c\xC3";
  for (NormalizerKind kind : {kNormNFC, kNormNFD, kNormNFKC, kNormNFKD}) {
    EXPECT_EQ(norm(kind, text), text) << int(kind);
  }
  // Also where the text is rebuilt: the bytes stay where they were.
  EXPECT_EQ(norm(kNormNFC, "e\xCC\x81\xFF\xED\xA0\x80"), "\xC3\xA9\xFF\xED\xA0\x80");
  EXPECT_EQ(norm(kNormNFD, "\xC3\xA9\xC3"), "e\xCC\x81\xC3");
}

TEST(Normalize, HangulByRule) {
  const std::string han = "\xED\x95\x9C";                           // U+D55C
  const std::string jamo = "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB";  // U+1112 U+1161 U+11AB
  EXPECT_EQ(norm(kNormNFD, han), jamo);
  EXPECT_EQ(norm(kNormNFKD, han), jamo);
  EXPECT_EQ(norm(kNormNFC, jamo), han);
  EXPECT_EQ(norm(kNormNFKC, jamo), han);
  // An LV syllable (U+D558) takes a trailing consonant.
  EXPECT_EQ(norm(kNormNFC, "\xED\x95\x98\xE1\x86\xAB"), han);
}

TEST(Normalize, LongRunsOfMarksKeepTheirOrderWithinAClass) {
  // a, then 40 times U+0301 (class 230) U+0316 (class 220): one sorted run of 80 marks.
  std::string text = "a";
  for (int i = 0; i < 40; ++i) text += "\xCC\x81\xCC\x96";
  std::string nfd = "a";
  for (int i = 0; i < 40; ++i) nfd += "\xCC\x96";
  for (int i = 0; i < 40; ++i) nfd += "\xCC\x81";
  EXPECT_EQ(norm(kNormNFD, text), nfd);
  // The first U+0301 composes with the a, which then takes no other mark.
  EXPECT_EQ(norm(kNormNFC, text), "\xC3\xA1" + nfd.substr(1, 80) + nfd.substr(83));
}

TEST(Normalize, StartersComposeWithTheStarterBefore) {
  // U+0B47 + U+0B3E -> U+0B4B; both are starters.
  EXPECT_EQ(norm(kNormNFC, "\xE0\xAD\x87\xE0\xAC\xBE"), "\xE0\xAD\x8B");
  // U+0344 decomposes into two marks that do not compose back.
  EXPECT_EQ(norm(kNormNFC, "\xCD\x84"), "\xCC\x88\xCC\x81");
}

TEST(Normalize, RandomTextsAreStableAndComposeFromTheirDecompositions) {
  // Pieces of UTF-8: starters that compose, marks of several classes, Hangul jamo and
  // syllables, compatibility characters, starters that combine backwards, ill-formed bytes.
  const char* const pieces[] = {"a",
                                "e",
                                "\xC3\xA9",
                                "\xCC\x81",
                                "\xCC\x96",
                                "\xCC\x88",
                                "\xCD\x85",
                                "\xCE\xB1",
                                "\xE1\x84\x80",
                                "\xE1\x85\xA1",
                                "\xE1\x86\xA8",
                                "\xEA\xB0\x80",
                                "\xEF\xAC\x81",
                                "\xE3\x8C\x80",
                                "\xE0\xAD\x87",
                                "\xE0\xAC\xBE",
                                "\xE3\x82\x99",
                                "\xCD\x84",
                                "\xF0\x9E\x84\xB0",
                                "\xD8\x98",
                                "\xFF",
                                "\xE0\x80",
                                " "};
  std::mt19937 rng(14);
  std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1), length(1, 24);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (size_t k = length(rng); k > 0; --k) text += pieces[pick(rng)];
    const std::string nfc = norm(kNormNFC, text), nfd = norm(kNormNFD, text);
    const std::string nfkc = norm(kNormNFKC, text), nfkd = norm(kNormNFKD, text);
    EXPECT_EQ(norm(kNormNFC, nfc), nfc) << text;
    EXPECT_EQ(norm(kNormNFD, nfd), nfd) << text;
    EXPECT_EQ(norm(kNormNFKC, nfkc), nfkc) << text;
    EXPECT_EQ(norm(kNormNFKD, nfkd), nfkd) << text;
    EXPECT_EQ(norm(kNormNFC, nfd), nfc) << text;
    EXPECT_EQ(norm(kNormNFD, nfc), nfd) << text;
    EXPECT_EQ(norm(kNormNFKC, nfkd), nfkc) << text;
    EXPECT_EQ(norm(kNormNFKD, nfc), nfkd) << text;
  }
}

}  // namespace
}  // namespace quorvane
