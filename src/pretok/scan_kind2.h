// Kind 2: the o200k-style pattern
//   P?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+C?
//   | P?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*C?
//   | \p{N}{1,limit} | ?[^\s\p{L}\p{N}]+[\r\n/]* | \s*[\r\n]+ | \s+(?!\S) | \s+
// with P = [^\r\n\p{L}\p{N}] and C the optional case-insensitive contraction.
//
// Call the first letter class A (U, L, m in cased classes) and the second B
// (l, L, m). Backtracking decides the first alternative: A* gives back
// characters until B+ can start, so from x, with a the end of the A run:
//   - the character at a is lower-case: the piece runs on over B from a;
//   - otherwise the piece ends just after the last L or m inside [x, a), when
//     there is one (so "日本USA" cuts after 本, and "É" decomposed ends at its mark);
//   - otherwise the first alternative fails and the second takes [x, a).
// A prefix is tried before no prefix, and the first alternative (both ways)
// before the second; a mark can be the prefix, since P excludes only L and N.
#pragma once

#include "pretok/scan_runs.h"

namespace quorvane::scan {

constexpr size_t kNoLetterMatch = 0;  // a letter match never ends at 0

// The class of each code point of the BMP, as cased_class_hi answers for it
// (64 KiB, filled when the library loads): one load instead of up to four
// property lookups per character.
inline const std::array<CasedClass, 0x10000> kBmpCased = [] {
  std::array<CasedClass, 0x10000> classes{};
  for (uint32_t cp = 0; cp < 0x10000; ++cp) classes[cp] = uc::cased_class_hi(cp);
  return classes;
}();

inline CasedClass cased_at(const uint8_t* t, size_t n, size_t i, uint32_t* len) {
  uint8_t b = t[i];
  if (b < 0x80) {
    *len = 1;
    return ascii::kAsciiCased[b];
  }
  DecodedChar d = decode_or_byte(t, n, i);
  *len = d.len;
  return d.cp < 0x10000 ? kBmpCased[d.cp] : uc::cased_class_hi(d.cp);
}

inline bool in_a(CasedClass k) {
  return k == CasedClass::kUpper || k == CasedClass::kOtherLetter || k == CasedClass::kMark;
}

// End of the run of B characters (l, L, m) from i.
[[gnu::always_inline]] inline size_t lower_run_end(const uint8_t* t, size_t n, size_t i) {
  for (;;) {
    i = ascii_letter_run_end(t, n, i, true);
    if (i >= n || t[i] < 0x80) return i;
    uint32_t len;
    CasedClass k = cased_at(t, n, i, &len);
    if (k != CasedClass::kLower && k != CasedClass::kOtherLetter && k != CasedClass::kMark) {
      return i;
    }
    i += len;
  }
}

// The letter alternatives from x (x < n): the first one, and the second when
// `second` is set and the first fails. Returns kNoLetterMatch when neither matches.
inline size_t letters_from(const uint8_t* t, size_t n, size_t x, bool second) {
  size_t a = x;
  size_t after_last_lm = kNoLetterMatch;
  uint32_t len = 0;
  CasedClass k = CasedClass::kOther;
  while (a < n) {
    uint8_t b = t[a];
    if (kByteFlags[b] & ascii::kUpper) {
      ++a;
      continue;
    }
    k = cased_at(t, n, a, &len);
    if (!in_a(k)) break;
    a += len;
    if (k != CasedClass::kUpper) after_last_lm = a;
  }
  if (a < n && k == CasedClass::kLower) return lower_run_end(t, n, a + len);
  if (after_last_lm != kNoLetterMatch) return after_last_lm;
  if (second && a > x) return a;
  return kNoLetterMatch;
}

// The end of an other-character piece whose run of other characters ends at
// e: the CR, LF and '/' after it. The byte at e is never '/', which the run
// would have taken, so one flag test settles the common case.
[[gnu::always_inline]] inline size_t other_piece_end(const uint8_t* t, size_t n, size_t e) {
  if (e >= n || !(kByteFlags[t[e]] & ascii::kCrLf)) return e;
  while (e < n && (t[e] == '\r' || t[e] == '\n' || t[e] == '/')) ++e;
  return e;
}

// Called once per piece by the encode loop; inlined there, it saves a call frame.
[[gnu::always_inline]] inline size_t scan_kind2(bool contractions, uint32_t digit_limit,
                                                const uint8_t* t, size_t n, size_t p) {
  uint8_t b = t[p];
  uint8_t fb = kByteFlags[b];
  if (const size_t rest = punctuation_run_rest(t, n, p, fb)) {
    return other_piece_end(t, n, other_run_end(t, n, rest, false));
  }
  size_t end = kNoLetterMatch;
  uint32_t clen = 1;
  CasedClass cls;
  // The common cases first: an ASCII word, with or without a leading space.
  size_t x = (b == ' ' && p + 1 < n && (kByteFlags[t[p + 1]] & ascii::kLetter)) ? p + 1 : p;
  uint8_t fx = kByteFlags[t[x]];
  // An ASCII digit is a number run (no contraction can follow one).
  if (fb & ascii::kDigit) return number_run_end(t, n, p, digit_limit);
  if (fx & ascii::kLower) {
    end = lower_run_end(t, n, x + 1);
  } else if (fx & ascii::kUpper) {
    // A capitalised ASCII word needs no backtracking analysis.
    if (x + 1 < n && (kByteFlags[t[x + 1]] & ascii::kLower)) {
      end = lower_run_end(t, n, x + 2);
    } else {
      end = letters_from(t, n, x, true);
    }
  } else {
    cls = cased_at(t, n, p, &clen);
    bool prefix = !(fb & ascii::kCrLf) && (cls == CasedClass::kSpace || cls == CasedClass::kOther ||
                                           cls == CasedClass::kMark);
    if (cls == CasedClass::kMark) {
      // With the mark as prefix the first alternative may match; otherwise it
      // matches the mark alone (its own last L-or-m).
      if (p + clen < n) end = letters_from(t, n, p + clen, false);
      if (end == kNoLetterMatch) end = p + clen;
    } else if (cls == CasedClass::kUpper || cls == CasedClass::kOtherLetter) {
      end = letters_from(t, n, p, true);
    } else if (cls == CasedClass::kLower) {  // non-ASCII lower-case letter
      end = lower_run_end(t, n, p + clen);
    } else if (prefix && p + clen < n &&
               (t[p + clen] >= 0x80 || (kByteFlags[t[p + clen]] & ascii::kLetter))) {
      // An ASCII non-letter after the prefix starts no letter run: skip the try;
      // a lower-case one starts the B run at once (".com", "(see").
      if (kByteFlags[t[p + clen]] & ascii::kLower) {
        end = lower_run_end(t, n, p + clen + 1);
      } else {
        end = letters_from(t, n, p + clen, true);
      }
    }
    if (end == kNoLetterMatch) {
      if (cls == CasedClass::kNumber) return number_run_end(t, n, p, digit_limit);
      size_t q = (b == ' ' && p + 1 < n) ? p + 1 : p;
      uint32_t len;
      if (other_char_at(t, n, q, false, &len)) {
        return other_piece_end(t, n, other_run_end(t, n, q + len, false));
      }
      if (cls == CasedClass::kSpace) {
        WhitespaceRun r = whitespace_run(t, n, p);
        if (r.crlf_end) return r.crlf_end;
        return whitespace_piece_end(t, n, r, p, false);
      }
      return p + clen;
    }
  }
  if (contractions && end < n) {
    if (t[end] == '\'') end += contraction_len(t, n, end, true);
  }
  return end;
}

}  // namespace quorvane::scan
