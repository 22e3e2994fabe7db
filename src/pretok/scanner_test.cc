#include "pretok/scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

std::vector<std::string> Pieces(ScannerSpec spec, const std::string& text) {
  std::vector<std::string> out;
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = next_piece_end(spec, t, text.size(), pos);
    if (end <= pos || end > text.size()) {
      ADD_FAILURE() << "bad step from " << pos << " to " << end;
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return out;
}

struct Case {
  ScannerSpec spec;
  std::string text;
  std::vector<std::string> pieces;
};

constexpr ScannerSpec kGpt2{ScannerKind::kGpt2, 0, 0};
constexpr ScannerSpec kGpt2Digits{ScannerKind::kGpt2, 1, 0};
constexpr ScannerSpec kCl100k{ScannerKind::kCl100k, 0, 3};
constexpr ScannerSpec kCl100kMarks{ScannerKind::kCl100k, 1, 3};
constexpr ScannerSpec kO200k{ScannerKind::kO200k, 1, 3};
constexpr ScannerSpec kO200kPlain{ScannerKind::kO200k, 0, 3};

const char* const kAcute = "\u0301";

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(Pieces(c.spec, c.text), c.pieces)
        << "kind " << int(c.spec.kind) << " flag " << int(c.spec.flag) << " limit "
        << c.spec.digit_limit << " text \"" << c.text << "\"";
  }
}

TEST(ScannerTest, Kind0) {
  RunCases({
      {kGpt2, "Hello world", {"Hello", " world"}},
      {kGpt2, "I'm here, they'll go", {"I", "'m", " here", ",", " they", "'ll", " go"}},
      {kGpt2, "I'M", {"I", "'", "M"}},  // contractions are case-sensitive
      {kGpt2, "  hi  there\n\nok", {" ", " hi", " ", " there", "\n", "\n", "ok"}},
      {kGpt2, "a \u00a0 b", {"a", " \u00a0", " b"}},
      {kGpt2, "12345678", {"12345678"}},
      {kGpt2, " 12345", {" 12345"}},
      {kGpt2, "a  1", {"a", " ", " 1"}},
      {kGpt2, "x  ", {"x", "  "}},
      {kGpt2, " ", {" "}},
      {kGpt2, "'", {"'"}},
      {kGpt2, "'ll'v", {"'ll", "'", "v"}},
      {kGpt2, " !?x", {" !?", "x"}},
      {kGpt2, "caf\u00e9 \u00e9t\u00e9", {"caf\u00e9", " \u00e9t\u00e9"}},
      {kGpt2, "e\u0301", {"e", "\u0301"}},  // a mark is an other character here
      {kGpt2Digits, "12345678", {"1", "2", "3", "4", "5", "6", "7", "8"}},
      {kGpt2Digits, " 12345", {" ", "1", "2", "3", "4", "5"}},
      {kGpt2Digits, "a  1", {"a", "  ", "1"}},
      {kGpt2Digits, "a 1b", {"a", " ", "1", "b"}},
      {kGpt2Digits, "x\u0663\u0664", {"x", "\u0663", "\u0664"}},  // Arabic-Indic digits
  });
}

TEST(ScannerTest, Kind1) {
  RunCases({
      {kCl100k, "12345678", {"123", "456", "78"}},
      {kCl100k, " 12345", {" ", "123", "45"}},
      {kCl100k, "foo!!\n\nbar", {"foo", "!!\n\n", "bar"}},
      {kCl100k, "x\n\n  y", {"x", "\n\n", " ", " y"}},
      {kCl100k, "a  1", {"a", " ", " ", "1"}},
      {kCl100k, "they'RE here", {"they", "'RE", " here"}},
      {kCl100k, "see://x.y/z", {"see", "://", "x", ".y", "/z"}},
      {kCl100k, "E\u0301COLE x", {"E", "\u0301COLE", " x"}},
      {kCl100kMarks, "E\u0301COLE x", {"E\u0301COLE", " x"}},
      {kCl100kMarks, "\u0301!", {"\u0301", "!"}},
      {ScannerSpec{ScannerKind::kCl100k, 0, 1},
       "12345678",
       {"1", "2", "3", "4", "5", "6", "7", "8"}},
      {ScannerSpec{ScannerKind::kCl100k, 0, 0}, "12345678", {"12345678"}},
      {kCl100k, "x\n  ", {"x", "\n", "  "}},
      {kCl100k, "x  ", {"x", "  "}},
      {kCl100k, "\tabc \u3000abc", {"\tabc", " ", "\u3000abc"}},
      {kCl100k, "\nabc", {"\n", "abc"}},
      // Regex engines fold U+017F (long s) to s under (?i).
      {kCl100k, "'\u017fa", {"'\u017f", "a"}},
      {kCl100k, "'x", {"'x"}},
  });
}

TEST(ScannerTest, Kind2) {
  RunCases({
      {kO200k, "HelloWORLD", {"Hello", "WORLD"}},
      {kO200k, "I'M", {"I'M"}},
      {kO200k, "I'm here, they'll go", {"I'm", " here", ",", " they'll", " go"}},
      {kO200k, "they'RE here", {"they'RE", " here"}},
      {kO200k, "a/\nb", {"a", "/\n", "b"}},
      {kO200k, "they'\u017f", {"they'\u017f"}},
      // Backtracking of [A]*[B]+: other letters followed by upper-case ones cut
      // after the last other letter, as the regular expression does.
      {kO200k, "\u65e5\u672cUSA", {"\u65e5\u672c", "USA"}},
      {kO200k, "\u4e2dA b", {"\u4e2d", "A", " b"}},
      {kO200k, std::string(kAcute) + kAcute + "A ", {std::string(kAcute) + kAcute, "A", " "}},
      {kO200k, std::string(kAcute) + "A", {kAcute, "A"}},
      {kO200k, std::string("E") + kAcute + "COLE x", {std::string("E") + kAcute, "COLE", " x"}},
      {kO200k, std::string("E") + kAcute + "cole", {std::string("E") + kAcute + "cole"}},
      {kO200k, "x\n  ", {"x", "\n", "  "}},
      {kO200k, "!!\n/x", {"!!\n/", "x"}},
      {kO200kPlain, "I'M", {"I", "'M"}},
      {kO200kPlain, "they'RE here", {"they", "'RE", " here"}},
      {kO200kPlain, "CamelCase", {"Camel", "Case"}},
      {kO200kPlain, "ABCdef", {"ABCdef"}},
      {kO200kPlain, "abcDEF", {"abc", "DEF"}},
      {ScannerSpec{ScannerKind::kO200k, 0, 0}, "12345678", {"12345678"}},
      {ScannerSpec{ScannerKind::kO200k, 0, 1},
       "12345678",
       {"1", "2", "3", "4", "5", "6", "7", "8"}},
  });
}

TEST(ScannerTest, TrailingWhitespaceStaysWhole) {
  for (ScannerSpec spec : {kGpt2, kGpt2Digits, kCl100k, kCl100kMarks, kO200k, kO200kPlain}) {
    EXPECT_EQ(Pieces(spec, "end \t\u3000 "), (std::vector<std::string>{"end", " \t\u3000 "}))
        << int(spec.kind);
  }
}

TEST(ScannerTest, IllFormedBytesAdvanceOneAtATime) {
  // Not valid UTF-8: a truncated sequence and stray continuation bytes still
  // make progress and tile the text.
  std::string text = "a\xE4\xB8 \x80\x80 \xF0\x9F";
  for (ScannerSpec spec : {kGpt2, kCl100k, kO200k}) {
    std::string joined;
    for (const std::string& p : Pieces(spec, text)) joined += p;
    EXPECT_EQ(joined, text);
  }
}

TEST(ScannerTest, PositionAtEndIsAnEmptyStep) {
  const uint8_t t[] = {'a'};
  EXPECT_EQ(next_piece_end(kGpt2, t, 1, 1), 1u);
}

}  // namespace
}  // namespace quorvane
