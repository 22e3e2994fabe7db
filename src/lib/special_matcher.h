// Leftmost-longest multi-pattern matcher over the registered special-token
// contents: byte-exact, case-sensitive, patterns numbered in list order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/result.h"

namespace quorvane {

struct SpecialMatch {
  uint32_t pattern;  // index in the contents list
  size_t start;
  size_t end;
};

class SpecialTokenMatcher {
 public:
  // Fails only for contents the matcher cannot represent (the message says why).
  static Result<std::shared_ptr<const SpecialTokenMatcher>> build(
      const std::vector<std::string>& contents);

  // The leftmost-longest match starting at or after `from`; false when none.
  bool find(std::string_view text, size_t from, SpecialMatch& match) const;

  ~SpecialTokenMatcher();

 private:
  SpecialTokenMatcher() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane
