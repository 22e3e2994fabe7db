// The CJK preset scanner against its three patterns, run by PCRE2 pass by pass.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cjk/cjk_pieces.h"
#include "pcre_reference.h"

namespace quorvane {
namespace {

using testing::PcrePattern;
using testing::WithExactSpace;

class PresetReference {
 public:
  std::vector<Span> Pieces(const std::string& text) {
    std::vector<Span> spans, next;
    if (text.empty()) return spans;
    spans.push_back({0, text.size()});
    for (PcrePattern* pass : {&digits_, &ideographs_, &punctuation_}) {
      next.clear();
      for (const Span& s : spans) pass->FindAll(text, s.start, s.end, next);
      spans.swap(next);
    }
    return spans;
  }

 private:
  PcrePattern digits_{R"(\p{N}{1,3})"};
  PcrePattern ideographs_{"[\u4e00-\u9fa5\u3040-\u309f\u30a0-\u30ff]+"};
  PcrePattern punctuation_{WithExactSpace(
      R"([!"#$%&'()*+,\-./:;<=>?@\[\\\]^_`{|}~][A-Za-z]+|[^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+)"
      R"(| ?[\p{P}\p{S}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)")};
};

std::string Show(const std::string& text, const std::vector<Span>& pieces) {
  std::string s;
  for (const Span& p : pieces) s += "[" + text.substr(p.start, p.end - p.start) + "]";
  return s;
}

void ExpectParity(const std::vector<std::string>& texts) {
  testing::ClassAgreement agreement;
  PresetReference reference;
  std::vector<Span> spans, work;
  int failures = 0;
  for (const std::string& text : texts) {
    if (!agreement.AgreesOnText(text)) continue;
    cjk_pieces(reinterpret_cast<const uint8_t*>(text.data()), text.size(), spans, work);
    std::vector<Span> want = reference.Pieces(text);
    if (spans != want && ++failures <= 3) {
      ADD_FAILURE() << "scanner " << Show(text, spans) << "\nregex   " << Show(text, want);
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(CjkPiecesRegexParityTest, RandomTexts) {
  static const std::vector<std::string> kAlphabet = {
      " ",      " ",          "  ",         "\t",     "\r",     "\n",     "\r\n",
      "\u00a0", "\u3000",     "\u180e",     "\u00ad", "0",      "7",      "42",
      "12345",  "\u0663",     "\u00bd",     "'",      "s",      "ll",     "S",
      "a",      "Bc",         "\u00e9",     "\u0301", "\u4e00", "\u9fa5", "\u9fa6",
      "\u3040", "\u30ff",     "\u30fb",     "\u3001", "\u3002", "\u4e2d", "\u30c6",
      "\uac00", "\U0001F600", "\U00020000", "!",      ".",      "/",      "$",
      "\\",     "[",          "`",          "~",      "\u00bf", "\u2014", "\u00d7"};
  std::mt19937 rng(777);
  std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
  std::uniform_int_distribution<int> length(1, 24);
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) {
    std::string s;
    for (int k = length(rng); k > 0; --k) s += kAlphabet[pick(rng)];
    texts.push_back(std::move(s));
  }
  ExpectParity(texts);
}

TEST(CjkPiecesRegexParityTest, Corpora) {
  auto texts = testing::LoadCorpusTexts("udhr.jsonl", SIZE_MAX);
  auto mail = testing::LoadCorpusTexts("mail.jsonl", 2 << 20);
  if (texts.empty() && mail.empty()) GTEST_SKIP() << "QUORVANE_TEST_CACHE/corpus absent";
  texts.insert(texts.end(), mail.begin(), mail.end());
  ExpectParity(texts);
}

}  // namespace
}  // namespace quorvane
