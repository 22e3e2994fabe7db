#include "cjk/cjk_pieces.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

std::vector<std::string> Pieces(const std::string& text) {
  std::vector<Span> spans, work;
  cjk_pieces(reinterpret_cast<const uint8_t*>(text.data()), text.size(), spans, work);
  std::vector<std::string> out;
  uint64_t expected_start = 0;
  for (const Span& s : spans) {
    EXPECT_EQ(s.start, expected_start);
    EXPECT_LT(s.start, s.end);
    out.push_back(text.substr(s.start, s.end - s.start));
    expected_start = s.end;
  }
  EXPECT_EQ(expected_start, text.size());
  return out;
}

using V = std::vector<std::string>;

TEST(CjkPiecesTest, EdgeCases) {
  struct Case {
    std::string text;
    V pieces;
  };
  const std::vector<Case> cases = {
      {"abc12345 \u4e2d\u6587\u5b57\u7b26 \u30c6\u30b9\u30c8!",
       {"abc", "123", "45", " ", "\u4e2d\u6587\u5b57\u7b26", " ", "\u30c6\u30b9\u30c8", "!"}},
      {"I'm here.\n\nOK", {"I", "'m", " here", ".\n\n", "OK"}},
      {"Ab.Cd", {"Ab", ".Cd"}},
      {"!!!abc", {"!!!", "abc"}},
      {"!abc def", {"!abc", " def"}},
      {"'s", {"'s"}},
      {"a  b", {"a", " ", " b"}},
      {"a  \u4e2d", {"a", "  ", "\u4e2d"}},
      {"12345678", {"123", "456", "78"}},
      {"x1 y", {"x", "1", " y"}},
      {"$5", {"$", "5"}},
      {"\u4e00\u30fb\u3001", {"\u4e00", "\u30fb", "\u3001"}},
      {"x\r\n\r\ny", {"x", "\r\n\r\n", "y"}},
      {"a \r\n b", {"a", " \r\n", " b"}},
      {"$$$\r\n", {"$$$\r\n"}},
      {"\tabc", {"\tabc"}},
      {"\u3000abc", {"\u3000abc"}},
      {"\u00ad\u0301x", {"\u00ad\u0301x"}},
      {"\u00ad", {"\u00ad"}},  // matches nowhere: stays a gap
      {"a \u00ad", {"a", " ", "\u00ad"}},
      {"x  ", {"x", "  "}},
  };
  for (const Case& c : cases) EXPECT_EQ(Pieces(c.text), c.pieces) << c.text;
}

TEST(CjkPiecesTest, EmptyTextHasNoPieces) {
  std::vector<Span> spans = {{0, 3}}, work = {{1, 2}};
  cjk_pieces(reinterpret_cast<const uint8_t*>(""), 0, spans, work);
  EXPECT_TRUE(spans.empty());
}

TEST(CjkPiecesTest, ReusedVectorsAreEmptiedFirst) {
  std::vector<Span> spans, work;
  std::string a = "hello world, 123";
  cjk_pieces(reinterpret_cast<const uint8_t*>(a.data()), a.size(), spans, work);
  std::string b = "x";
  cjk_pieces(reinterpret_cast<const uint8_t*>(b.data()), b.size(), spans, work);
  EXPECT_EQ(spans, (std::vector<Span>{{0, 1}}));
}

}  // namespace
}  // namespace quorvane
