// Run helpers shared by the scanner kinds (internal to src/pretok and src/cjk).
//
// Every helper takes (text, length, position) and returns a byte position; ASCII
// bytes are classified by one table load each, other characters are decoded.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "unicode/char_lookup.h"
#include "unicode/utf8.h"

namespace quorvane::scan {

using ascii::kByteFlags;
using utf8::decode_or_byte;

// First position at or after i whose byte is not an ASCII letter (with `lower_only`,
// not 'a' to 'z'), or n. Sixteen bytes at a time where the text allows, so that a
// word's end costs no mispredicted loop exit.
inline size_t ascii_letter_run_end(const uint8_t* t, size_t n, size_t i, bool lower_only) {
#ifdef __SSE2__
  const __m128i fold = _mm_set1_epi8(lower_only ? 0 : 0x20);
  const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'a'));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(-128 + 26));
  while (i + 16 <= n) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + i));
    // (b | fold) in 'a'..'z', as a signed compare after moving 'a' to -128.
    __m128i letters = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, fold), shift), limit);
    unsigned stop = ~static_cast<unsigned>(_mm_movemask_epi8(letters)) & 0xFFFFu;
    if (stop) return i + __builtin_ctz(stop);
    i += 16;
  }
#endif
  const uint8_t flag = lower_only ? ascii::kLower : ascii::kLetter;
  while (i < n && (kByteFlags[t[i]] & flag)) ++i;
  return i;
}

// First position at or after i whose character is not a letter (with `marks`,
// neither a letter nor a mark), or n.
inline size_t letter_run_end(const uint8_t* t, size_t n, size_t i, bool marks) {
  for (;;) {
    i = ascii_letter_run_end(t, n, i, false);
    if (i >= n || t[i] < 0x80) return i;
    DecodedChar d = decode_or_byte(t, n, i);
    if (!(uc::letter_hi(d.cp) || (marks && uc::mark_hi(d.cp)))) return i;
    i += d.len;
  }
}

// End of the run of number characters from i, at most `limit` characters when
// limit > 0.
[[gnu::always_inline]] inline size_t number_run_end(const uint8_t* t, size_t n, size_t i,
                                                    uint32_t limit) {
  uint32_t count = 0;
  // The usual limit of three over ASCII digits, without a branch per digit: the
  // length of a number piece is about as unpredictable as the kind of the next.
  if (limit == 3 && n - i >= 3) {
    const uint32_t a = (kByteFlags[t[i]] & ascii::kDigit) != 0;
    const uint32_t b = (kByteFlags[t[i + 1]] & ascii::kDigit) != 0;
    const uint32_t c = (kByteFlags[t[i + 2]] & ascii::kDigit) != 0;
    const uint32_t len = a + (a & b) + (a & b & c);
    // Settled unless the run stops at a character beyond ASCII (which may be a
    // number too); after three digits the byte at i is a digit, so passes.
    const size_t next = i + len * (len != 3);
    if (t[next] < 0x80) return i + len;
    i += len;
    count = len;
  }
  while (i < n && (limit == 0 || count < limit)) {
    uint8_t b = t[i];
    if (b < 0x80) {
      if (!(kByteFlags[b] & ascii::kDigit)) break;
      ++i;
    } else {
      DecodedChar d = decode_or_byte(t, n, i);
      if (!uc::number_hi(d.cp)) break;
      i += d.len;
    }
    ++count;
  }
  return i;
}

// Whether cp is an "other" character: plain class O, and with `marks` also not a mark.
inline bool other_hi(uint32_t cp, bool marks) {
  if (uc::plain_class_hi(cp) != PlainClass::kOther) return false;
  return !(marks && uc::mark_hi(cp));
}

[[gnu::always_inline]] inline bool other_char_at(const uint8_t* t, size_t n, size_t i, bool marks,
                                                 uint32_t* len) {
  uint8_t b = t[i];
  if (b < 0x80) {
    *len = 1;
    return (kByteFlags[b] & ascii::kOther) != 0;
  }
  DecodedChar d = decode_or_byte(t, n, i);
  *len = d.len;
  return other_hi(d.cp, marks);
}

// End of the run of other characters from i.
[[gnu::always_inline]] inline size_t other_run_end(const uint8_t* t, size_t n, size_t i,
                                                   bool marks) {
  for (;;) {
    while (i < n && (kByteFlags[t[i]] & ascii::kOther)) ++i;
    if (i >= n || t[i] < 0x80) return i;
    DecodedChar d = decode_or_byte(t, n, i);
    if (!other_hi(d.cp, marks)) return i;
    i += d.len;
  }
}

// ASCII punctuation that starts a piece of its own: the piece is the run of
// other characters from `p` when `p` is such a character and the byte after it
// is neither a letter (which a prefix would join) nor the lead of a longer
// character (classified the slow way), or when `p` is a space and such a
// character follows. Returns the start of that run's rest (just after its first
// character), or 0 when neither holds.
[[gnu::always_inline]] inline size_t punctuation_run_rest(const uint8_t* t, size_t n, size_t p,
                                                          uint8_t fb) {
  if (fb & ascii::kOther) {
    if (p + 1 == n || !(kByteFlags[t[p + 1]] & (ascii::kLetter | ascii::kNonAscii))) return p + 1;
  } else if (t[p] == ' ' && p + 1 < n && (kByteFlags[t[p + 1]] & ascii::kOther)) {
    return p + 2;
  }
  return 0;
}

// Skips the bytes of `flags` (ASCII only) from i.
inline size_t byte_run_end(const uint8_t* t, size_t n, size_t i, uint8_t flags) {
  while (i < n && (kByteFlags[t[i]] & flags)) ++i;
  return i;
}

struct WhitespaceRun {
  size_t end;       // end of the maximal whitespace run
  size_t last;      // start of its last character (== start when the run is empty)
  size_t crlf_end;  // just after its last CR or LF, or 0 when it holds none
};

[[gnu::always_inline]] inline WhitespaceRun whitespace_run(const uint8_t* t, size_t n, size_t i) {
  WhitespaceRun r{i, i, 0};
  while (i < n) {
    uint8_t b = t[i];
    uint32_t len;
    if (b < 0x80) {
      uint8_t f = kByteFlags[b];
      if (!(f & ascii::kSpace)) break;
      if (f & ascii::kCrLf) r.crlf_end = i + 1;
      len = 1;
    } else {
      DecodedChar d = decode_or_byte(t, n, i);
      if (!uc::whitespace_hi(d.cp)) break;
      len = d.len;
    }
    r.last = i;
    i += len;
  }
  r.end = i;
  return r;
}

// The whitespace rule: a run reaching the end is whole; a single character is
// alone; a run followed by a number is whole when keep_before_number; otherwise
// the run gives up its last character, which may join the next word.
inline size_t whitespace_piece_end(const uint8_t* t, size_t n, const WhitespaceRun& r, size_t start,
                                   bool keep_before_number) {
  if (r.end >= n) return r.end;
  if (r.last == start) return r.end;
  if (keep_before_number) {
    uint8_t b = t[r.end];
    bool num = b < 0x80 ? (kByteFlags[b] & ascii::kDigit) != 0
                        : uc::number_hi(decode_or_byte(t, n, r.end).cp);
    if (num) return r.end;
  }
  return r.last;
}

inline size_t whitespace_run_end(const uint8_t* t, size_t n, size_t i, bool keep_before_number) {
  if (i >= n) return i;
  return whitespace_piece_end(t, n, whitespace_run(t, n, i), i, keep_before_number);
}

// Whether the maximal whitespace run at i holds a CR or LF; if so *end is just
// after the last one.
inline bool newline_run_end(const uint8_t* t, size_t n, size_t i, size_t* end) {
  WhitespaceRun r = whitespace_run(t, n, i);
  if (r.crlf_end == 0) return false;
  *end = r.crlf_end;
  return true;
}

// Length of a contraction ('s 'd 'm 't 'll 've 're) at i, or 0. Case-insensitive
// matching follows Unicode simple case folding as regex engines do: ASCII case,
// and U+017F LATIN SMALL LETTER LONG S for s.
inline uint32_t contraction_len(const uint8_t* t, size_t n, size_t i, bool ignore_case) {
  if (t[i] != '\'' || i + 1 >= n) return 0;
  uint8_t fold = ignore_case ? 0x20 : 0;
  uint8_t b1 = t[i + 1] | fold;
  if (b1 == 's' || b1 == 'd' || b1 == 'm' || b1 == 't') return 2;
  if (i + 2 >= n) return 0;
  uint8_t b2 = t[i + 2] | fold;
  if ((b1 == 'l' && b2 == 'l') || (b1 == 'v' && b2 == 'e') || (b1 == 'r' && b2 == 'e')) return 3;
  if (ignore_case && t[i + 1] == 0xC5 && t[i + 2] == 0xBF) return 3;
  return 0;
}

}  // namespace quorvane::scan
