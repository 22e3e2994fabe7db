#include "bpe/pair_filter.h"

namespace quorvane {

PairFilter PairFilter::build(const std::vector<MergeRule>& rules) {
  PairFilter filter;
  if (rules.empty()) return filter;
  // Eight to sixteen bits per rule, a power of two of words: with two bits set
  // per rule, a pair without a rule passes about once in twenty to forty.
  unsigned word_bits = 1;
  while (word_bits < kMaxWordBits && (uint64_t{64} << word_bits) < uint64_t{8} * rules.size()) {
    ++word_bits;
  }
  filter.words_.assign(size_t{1} << word_bits, 0);
  filter.shift_ = 64 - word_bits;
  for (const MergeRule& rule : rules) {
    const uint64_t x = mix(rule.left, rule.right);
    filter.words_[x >> filter.shift_] |= bits_of(x);
  }
  filter.rules_ = rules.size();
  return filter;
}

}  // namespace quorvane
