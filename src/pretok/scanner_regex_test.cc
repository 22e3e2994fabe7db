// The scanners against the patterns they replace, run by PCRE2.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "pcre_reference.h"
#include "pretok/scanner.h"

namespace quorvane {
namespace {

using testing::ClassAgreement;
using testing::PcrePattern;
using testing::WithExactSpace;

const char kByteLevel[] =
    R"('(?:[sdmt]|ll|ve|re)| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
const char kContractions[] = R"((?i:'s|'t|'re|'ve|'m|'ll|'d))";

std::string DigitRun(uint32_t limit) {
  return limit == 0 ? R"(\p{N}+)" : limit == 1 ? R"(\p{N})" : R"(\p{N}{1,3})";
}

std::string Cl100kPattern(bool marks, uint32_t limit) {
  std::string letters = marks ? R"([\p{L}\p{M}]+)" : R"(\p{L}+)";
  std::string others = marks ? R"([^\s\p{L}\p{M}\p{N}])" : R"([^\s\p{L}\p{N}])";
  return std::string(kContractions) + R"(|[^\r\n\p{L}\p{N}]?)" + letters + "|" + DigitRun(limit) +
         "| ?" + others + R"(+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
}

std::string O200kPattern(bool contractions, uint32_t limit) {
  std::string c = contractions ? std::string(kContractions) + "?" : "";
  return R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+)" + c +
         R"(|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*)" + c +
         "|" + DigitRun(limit) + R"(| ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)";
}

// The pieces a regex pre-tokenizer gives for one scanner spec.
class Reference {
 public:
  explicit Reference(ScannerSpec spec) : spec_(spec), pattern_(WithExactSpace(PatternFor(spec))) {}

  std::vector<Span> Pieces(const std::string& text) {
    std::vector<Span> out;
    if (spec_.kind == ScannerKind::kGpt2 && spec_.flag == 1) {
      // Every number character alone, the stretches between by the ByteLevel pattern.
      std::vector<Span> numbers;
      digit_.FindAll(text, 0, text.size(), numbers);
      for (const Span& s : numbers) {
        if (digit_.MatchesWhole(std::string_view(text).substr(s.start, s.end - s.start))) {
          out.push_back(s);
        } else {
          pattern_.FindAll(text, s.start, s.end, out);
        }
      }
      return out;
    }
    pattern_.FindAll(text, 0, text.size(), out);
    return out;
  }

 private:
  static std::string PatternFor(ScannerSpec spec) {
    switch (spec.kind) {
      case ScannerKind::kGpt2:
        return kByteLevel;
      case ScannerKind::kCl100k:
        return Cl100kPattern(spec.flag == 1, spec.digit_limit);
      case ScannerKind::kO200k:
        break;
    }
    return O200kPattern(spec.flag == 1, spec.digit_limit);
  }

  ScannerSpec spec_;
  PcrePattern pattern_;
  PcrePattern digit_{R"(\p{N})"};
};

std::vector<Span> ScannerPieces(ScannerSpec spec, const std::string& text) {
  std::vector<Span> out;
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t pos = 0; pos < text.size();) {
    size_t end = next_piece_end(spec, t, text.size(), pos);
    out.push_back({pos, end});
    if (end <= pos) break;
    pos = end;
  }
  return out;
}

std::vector<ScannerSpec> AllSpecs() {
  std::vector<ScannerSpec> specs = {{ScannerKind::kGpt2, 0, 0}, {ScannerKind::kGpt2, 1, 0}};
  for (ScannerKind kind : {ScannerKind::kCl100k, ScannerKind::kO200k}) {
    for (uint8_t flag : {0, 1}) {
      for (uint32_t limit : {0u, 1u, 3u}) specs.push_back({kind, flag, limit});
    }
  }
  return specs;
}

std::string Show(const std::string& text, const std::vector<Span>& pieces) {
  std::string s;
  for (const Span& p : pieces) s += "[" + text.substr(p.start, p.end - p.start) + "]";
  return s;
}

// The first differing piece, with its neighbourhood, or "" when equal.
std::string Difference(const std::string& text, const std::vector<Span>& got,
                       const std::vector<Span>& want) {
  if (got == want) return "";
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  size_t from = i >= 2 ? i - 2 : 0;
  auto window = [&](const std::vector<Span>& v) {
    return Show(text, std::vector<Span>(v.begin() + std::min(from, v.size()),
                                        v.begin() + std::min(i + 3, v.size())));
  };
  return "scanner " + window(got) + "\nregex   " + window(want);
}

// Strings over an alphabet rich in the cases where the rules are delicate.
std::vector<std::string> RandomTexts(size_t count, uint32_t seed) {
  static const std::vector<std::string> kAlphabet = {
      " ",          " ",          " ",          "  ",     "\t",     "\r",        "\n",
      "\r\n",       "\u00a0",     "\u3000",     "\u2028", "\u0085", "\u180e",    "\u200b",
      "\u00ad",     "0",          "7",          "42",     "\u0663", "\u00bd",    "\u2167",
      "\U0001D7CE", "'",          "'",          "s",      "t",      "re",        "ve",
      "m",          "ll",         "d",          "S",      "T",      "RE",        "Ve",
      "M",          "LL",         "D",          "\u017f", "\u0301", "\u0308",    "\u20dd",
      "a",          "x",          "B",          "Q",      "\u00e9", "\u00c9",    "\u01c5",
      "\u00df",     "\u02b0",     "\u4e2d",     "\u65e5", "\u30c6", "\u3001",    "\u30fb",
      "\U0001F600", "\U0001D400", "\U0001D41A", "!",      ".",      "/",         ",",
      "?",          "-",          "$",          "\u00bf", "\u2014", "\U00020000"};
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
  std::uniform_int_distribution<int> length(1, 24);
  std::vector<std::string> texts;
  for (size_t i = 0; i < count; ++i) {
    std::string s;
    for (int k = length(rng); k > 0; --k) s += kAlphabet[pick(rng)];
    texts.push_back(std::move(s));
  }
  return texts;
}

void ExpectParity(const std::vector<std::string>& texts, const char* source) {
  ClassAgreement agreement;
  std::vector<std::string> comparable;
  for (const std::string& t : texts) {
    if (agreement.AgreesOnText(t)) comparable.push_back(t);
  }
  // Only texts with characters new in Unicode 15 are left out.
  EXPECT_GE(comparable.size() * 10, texts.size() * 9) << source;
  std::cout << source << ": " << comparable.size() << " of " << texts.size() << " texts compared\n";
  for (ScannerSpec spec : AllSpecs()) {
    Reference reference(spec);
    int failures = 0;
    for (const std::string& text : comparable) {
      std::string diff = Difference(text, ScannerPieces(spec, text), reference.Pieces(text));
      if (!diff.empty() && ++failures <= 3) {
        ADD_FAILURE() << source << ", kind " << int(spec.kind) << " flag " << int(spec.flag)
                      << " limit " << spec.digit_limit << "\n"
                      << diff;
      }
    }
    EXPECT_EQ(failures, 0) << "kind " << int(spec.kind) << " flag " << int(spec.flag) << " limit "
                           << spec.digit_limit;
  }
}

TEST(ScannerRegexParityTest, RandomTexts) { ExpectParity(RandomTexts(20000, 12345), "random"); }

TEST(ScannerRegexParityTest, UdhrCorpus) {
  auto texts = testing::LoadCorpusTexts("udhr.jsonl", SIZE_MAX);
  if (texts.empty()) GTEST_SKIP() << "QUORVANE_TEST_CACHE/corpus/udhr.jsonl absent";
  ExpectParity(texts, "udhr");
}

TEST(ScannerRegexParityTest, MailCorpus) {
  auto texts = testing::LoadCorpusTexts("mail.jsonl", 4 << 20);
  if (texts.empty()) GTEST_SKIP() << "QUORVANE_TEST_CACHE/corpus/mail.jsonl absent";
  ExpectParity(texts, "mail");
}

}  // namespace
}  // namespace quorvane
