// Kind 1: the cl100k-style pattern
//   (?i:'s|'t|'re|'ve|'m|'ll|'d) | [^\r\n\p{L}\p{N}]?\p{L}+ | \p{N}{1,limit}
//   | ?[^\s\p{L}\p{N}]+[\r\n]* | \s*[\r\n]+ | \s+(?!\S) | \s+
// With `marks`, letter runs are [\p{L}\p{M}]+ and other runs exclude marks.
#pragma once

#include "pretok/scan_runs.h"

namespace quorvane::scan {

inline bool letter_or_mark_at(const uint8_t* t, size_t n, size_t i, bool marks, uint32_t* len) {
  uint8_t b = t[i];
  if (b < 0x80) {
    *len = 1;
    return (kByteFlags[b] & ascii::kLetter) != 0;
  }
  DecodedChar d = decode_or_byte(t, n, i);
  *len = d.len;
  return uc::letter_hi(d.cp) || (marks && uc::mark_hi(d.cp));
}

// Called once per piece by the encode loop; inlined there, it saves a call frame.
[[gnu::always_inline]] inline size_t scan_kind1(bool marks, uint32_t digit_limit, const uint8_t* t,
                                                size_t n, size_t p) {
  uint8_t b = t[p];
  uint8_t fb = kByteFlags[b];
  if (fb & ascii::kLetter) return letter_run_end(t, n, p + 1, marks);
  if (b == ' ' && p + 1 < n && (kByteFlags[t[p + 1]] & ascii::kLetter)) {
    return letter_run_end(t, n, p + 2, marks);
  }
  if (b == '\'') {
    if (uint32_t len = contraction_len(t, n, p, true)) return p + len;
  }
  if (const size_t rest = punctuation_run_rest(t, n, p, fb)) {
    return byte_run_end(t, n, other_run_end(t, n, rest, marks), ascii::kCrLf);
  }

  // The optional prefix: any character but CR, LF, a letter or a number.
  PlainClass cls;
  uint32_t clen = 1;
  bool mark_c = false;
  if (fb & ascii::kNonAscii) {
    DecodedChar c = decode_or_byte(t, n, p);
    clen = c.len;
    cls = uc::plain_class_hi(c.cp);
    mark_c = cls == PlainClass::kOther && uc::mark_hi(c.cp);
  } else {
    cls = ascii::kAsciiPlain[b];
  }
  if (cls == PlainClass::kLetter) return letter_run_end(t, n, p + clen, marks);
  if (cls == PlainClass::kNumber) return number_run_end(t, n, p, digit_limit);
  if (!(fb & ascii::kCrLf) && p + clen < n) {
    uint32_t len;
    if (letter_or_mark_at(t, n, p + clen, marks, &len)) {
      return letter_run_end(t, n, p + clen + len, marks);
    }
  }
  // A lone mark is a letter run of its own in mark-aware mode.
  if (marks && mark_c) return p + clen;

  // An optional space, then other characters, then CR/LF.
  size_t q = (b == ' ' && p + 1 < n) ? p + 1 : p;
  uint32_t len;
  if (other_char_at(t, n, q, marks, &len)) {
    size_t e = other_run_end(t, n, q + len, marks);
    return byte_run_end(t, n, e, ascii::kCrLf);
  }
  if (cls == PlainClass::kSpace) {
    WhitespaceRun r = whitespace_run(t, n, p);
    if (r.crlf_end) return r.crlf_end;
    return whitespace_piece_end(t, n, r, p, false);
  }
  return p + clen;
}

}  // namespace quorvane::scan
