// The special-token matcher against a naive leftmost-longest search.
// Input: a pattern count, patterns separated by 0xFF, then the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/special_matcher.h"

using namespace quorvane;

namespace {

bool naive_find(const std::vector<std::string>& patterns, std::string_view text, size_t from,
                SpecialMatch& match) {
  for (size_t s = from; s < text.size(); ++s) {
    bool found = false;
    for (size_t i = 0; i < patterns.size(); ++i) {
      const std::string& p = patterns[i];
      if (s + p.size() <= text.size() && text.compare(s, p.size(), p) == 0) {
        // Longest wins; among equal lengths the lowest pattern index.
        if (!found || p.size() > match.end - match.start) {
          match = {static_cast<uint32_t>(i), s, s + p.size()};
          found = true;
        }
      }
    }
    if (found) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t count = 1 + data[0] % 8;
  std::vector<std::string> patterns;
  size_t i = 1;
  while (patterns.size() < count && i < size) {
    std::string p;
    while (i < size && data[i] != 0xFF) p += static_cast<char>(data[i++] % 4 + 'a');
    ++i;
    if (!p.empty() && p.size() <= 8) patterns.push_back(p);
  }
  if (patterns.empty()) return 0;
  std::string text;
  for (; i < size; ++i) text += static_cast<char>(data[i] % 5 + 'a');

  auto built = SpecialTokenMatcher::build(patterns);
  if (!built.ok()) abort();
  const SpecialTokenMatcher& matcher = *built.value();
  size_t from = 0;
  for (;;) {
    SpecialMatch got{}, want{};
    bool g = matcher.find(text, from, got);
    bool w = naive_find(patterns, text, from, want);
    if (g != w) abort();
    if (!g) break;
    // Equal-length duplicates may report either index; compare the matched bytes.
    if (got.start != want.start || got.end != want.end) abort();
    if (patterns[got.pattern] != text.substr(got.start, got.end - got.start)) abort();
    from = got.end;
  }
  return 0;
}
