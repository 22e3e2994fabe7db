// A small bitmap that refuses most pairs of ids that no merge rule joins, so
// that the merger can skip their probes of the merge table.
//
// On scripts beyond Latin, scan-and-merge spends most of its time waiting on
// probes of the merge table (megabytes, beyond a core's L2) for the pairs that
// each merge makes with its neighbours, one pass after another; almost half of
// those pairs have no rule. Two bits per rule in a table of about sixteen bits
// per rule, both in one 64-bit word, answer "no rule" for most of them from
// L2. Never refuses a pair that has a rule; built once at load time and only
// read after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane {

class PairFilter {
 public:
  // The filter of no rules refuses every pair.
  PairFilter() = default;
  static PairFilter build(const std::vector<MergeRule>& rules);

  // The words and the shift by value: a loop that holds a View keeps them in
  // registers, where the filter's own fields would be read again after every
  // store of ids (which might, as far as the compiler knows, change them).
  struct View {
    const uint64_t* words;
    unsigned shift;

    // False when no rule joins (left, right); true for every pair with a rule
    // and for a few without.
    bool may_join(uint32_t left, uint32_t right) const {
      const uint64_t x = mix(left, right);
      const uint64_t bits = bits_of(x);
      return (words[x >> shift] & bits) == bits;
    }
  };
  View view() const { return {words_.data(), shift_}; }

  bool may_join(uint32_t left, uint32_t right) const { return view().may_join(left, right); }
  bool empty() const { return rules_ == 0; }

 private:
  // One multiplication: its top bits pick the word, the 12 bits below the
  // word's (never below bit 32, which hold the right id's low bits alone) pick
  // two bits in it.
  static uint64_t mix(uint32_t left, uint32_t right) {
    return ((static_cast<uint64_t>(left) << 32) | right) * MergeMap::kMultiplier;
  }
  static uint64_t bits_of(uint64_t x) {
    return (uint64_t{1} << ((x >> 32) & 63)) | (uint64_t{1} << ((x >> 38) & 63));
  }
  static constexpr unsigned kMaxWordBits = 20;  // 8 MiB: eight bits for each of 8M rules

  // At least two words; all clear in the filter of no rules, so that it needs
  // no check of its own.
  std::vector<uint64_t> words_ = {0, 0};
  unsigned shift_ = 63;  // 64 - log2(words), so that x >> shift_ indexes words_
  size_t rules_ = 0;
};

}  // namespace quorvane
