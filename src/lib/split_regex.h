// Compiled split patterns (PCRE2 with JIT) and the pieces they cut a text into.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/result.h"
#include "unicode/span.h"

namespace quorvane {

// One compiled split pattern; move-only, shared read-only by all threads.
class SplitRegex {
 public:
  // Translates `pattern` from the reference's syntax (split_regex_translate.h) and
  // compiles it (match limit 1,000,000 per search, with a reserve linear in the
  // span for searches that exceed it). The error names the refused construct, or
  // is the regular-expression library's own description.
  static Result<SplitRegex> compile(std::string_view pattern);

  SplitRegex(SplitRegex&&) noexcept;
  SplitRegex& operator=(SplitRegex&&) noexcept;
  ~SplitRegex();

  const std::string& pattern() const { return pattern_; }
  void* code() const { return code_; }  // pcre2_code_8*

 private:
  SplitRegex() = default;
  std::string pattern_;
  void* code_ = nullptr;
};

// Cuts the text with every pattern in turn; the result tiles the text in order.
// With no patterns the result is the one span (0, length), even for an empty text.
// Like every allocation on the encode paths, a matcher that cannot allocate
// throws std::bad_alloc, which the encode entry points turn into kOutOfMemory.
std::vector<Span> regex_pieces(const std::vector<SplitRegex>& patterns, std::string_view text);

}  // namespace quorvane
