// Kind 0: the GPT-2 ByteLevel pattern, leftmost-first.
#pragma once

#include "pretok/scan_runs.h"

namespace quorvane::scan {

inline size_t scan_kind0(bool single_digits, const uint8_t* t, size_t n, size_t p) {
  uint8_t b = t[p];
  // The common case first: an optional space and an ASCII word.
  size_t q = (b == ' ' && p + 1 < n) ? p + 1 : p;
  uint8_t fq = kByteFlags[t[q]];
  if (fq & ascii::kLetter) return letter_run_end(t, n, q + 1, false);
  if (b == '\'') {
    if (uint32_t len = contraction_len(t, n, p, false)) return p + len;
  }
  PlainClass cls;
  uint32_t len = 1;
  if (fq & ascii::kNonAscii) {
    DecodedChar c = decode_or_byte(t, n, q);
    cls = uc::plain_class_hi(c.cp);
    len = c.len;
  } else {
    cls = ascii::kAsciiPlain[t[q]];
  }
  switch (cls) {
    case PlainClass::kLetter:
      return letter_run_end(t, n, q + len, false);
    case PlainClass::kNumber:
      if (!single_digits) return number_run_end(t, n, q + len, 0);
      if (q == p) return p + len;
      break;  // a space before a number stands apart
    case PlainClass::kOther:
      return other_run_end(t, n, q + len, false);
    case PlainClass::kSpace:
      break;
  }
  // Here c (at p) is whitespace: either q == p, or c is the space of the space step.
  return whitespace_run_end(t, n, p, single_digits);
}

}  // namespace quorvane::scan
