// Translates and compiles a fuzz-chosen split pattern and cuts a fuzz-chosen text
// with it: translation either succeeds or names what it refuses, never crashes, and
// the pieces tile the text. The input is the pattern, a NUL byte, then the text.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/split_regex.h"
#include "lib/split_regex_translate.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string pattern = input.substr(0, nul);
  const std::string text = nul == std::string::npos ? "" : input.substr(nul + 1);
  const auto translated = translate_split_pattern(pattern);
  if (!translated && translated.error().find(" at offset ") == std::string::npos) {
    fprintf(stderr, "refusal without an offset: %s\n", translated.error().c_str());
    abort();
  }
  auto re = SplitRegex::compile(pattern);
  if (!re) return 0;
  std::vector<SplitRegex> patterns;
  patterns.push_back(std::move(re).value());
  uint64_t at = 0;
  for (const Span& s : regex_pieces(patterns, text)) {
    if (s.start != at || s.end <= s.start) abort();
    at = s.end;
  }
  if (!text.empty() && at != text.size()) abort();
  return 0;
}
