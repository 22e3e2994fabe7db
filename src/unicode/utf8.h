// UTF-8 reading and writing, each reader named by the rule it applies.
//
//   decode_or_byte      lenient, for text already known to be UTF-8 (a str, a string
//                       of a checked file): continuation bytes are not checked; a
//                       byte that cannot lead, or a sequence cut by the end, reads as
//                       one character of the byte's own value
//   decode_well_formed  strict: one character, or length 0 where the bytes are not
//                       well-formed (overlong, surrogate, above U+10FFFF, cut short)
//   is_well_formed      strict, a whole text
//   ascii_run_end       the first byte from a position on that is not ASCII
//   is_continuation     10xxxxxx
//   encode / append     a code point below U+110000 as 1 to 4 bytes
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace quorvane {

struct DecodedChar {
  uint32_t cp;
  uint32_t len;  // 1..4 bytes; 0 from decode_well_formed where no character is
};

namespace utf8 {

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// pos < n. Only the lead byte and the end of the text decide the length.
inline DecodedChar decode_or_byte(const uint8_t* t, size_t n, size_t pos) {
  uint32_t b0 = t[pos];
  if (b0 < 0x80) return {b0, 1};
  if (b0 >= 0xC0) {
    if (b0 < 0xE0) {
      if (pos + 1 < n) return {((b0 & 0x1F) << 6) | (t[pos + 1] & 0x3Fu), 2};
    } else if (b0 < 0xF0) {
      if (pos + 2 < n)
        return {((b0 & 0x0F) << 12) | ((t[pos + 1] & 0x3Fu) << 6) | (t[pos + 2] & 0x3Fu), 3};
    } else if (b0 < 0xF8) {
      if (pos + 3 < n)
        return {((b0 & 0x07) << 18) | ((t[pos + 1] & 0x3Fu) << 12) | ((t[pos + 2] & 0x3Fu) << 6) |
                    (t[pos + 3] & 0x3Fu),
                4};
    }
  }
  return {b0, 1};
}
inline DecodedChar decode_or_byte(std::string_view s, size_t pos) {
  return decode_or_byte(reinterpret_cast<const uint8_t*>(s.data()), s.size(), pos);
}

// pos < n. On ill-formed bytes the length is 0 and cp the byte at pos.
[[gnu::always_inline]] inline DecodedChar decode_well_formed(const uint8_t* t, size_t n,
                                                             size_t pos) {
  const uint32_t b0 = t[pos];
  if (b0 < 0x80) return {b0, 1};
  if (b0 < 0xC2) return {b0, 0};
  // The room for the whole sequence first: one compare for all its bytes.
  const auto cont = [&](size_t k) { return is_continuation(t[pos + k]); };
  if (b0 < 0xE0) {
    if (pos + 1 >= n || !cont(1)) return {b0, 0};
    return {((b0 & 0x1F) << 6) | (t[pos + 1] & 0x3Fu), 2};
  }
  if (b0 < 0xF0) {
    if (pos + 2 >= n || !cont(1) || !cont(2)) return {b0, 0};
    const uint32_t cp = ((b0 & 0x0F) << 12) | ((t[pos + 1] & 0x3Fu) << 6) | (t[pos + 2] & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000)) return {b0, 0};
    return {cp, 3};
  }
  if (b0 < 0xF5) {
    if (pos + 3 >= n || !cont(1) || !cont(2) || !cont(3)) return {b0, 0};
    const uint32_t cp = ((b0 & 0x07) << 18) | ((t[pos + 1] & 0x3Fu) << 12) |
                        ((t[pos + 2] & 0x3Fu) << 6) | (t[pos + 3] & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return {b0, 0};
    return {cp, 4};
  }
  return {b0, 0};
}
inline DecodedChar decode_well_formed(std::string_view s, size_t pos) {
  return decode_well_formed(reinterpret_cast<const uint8_t*>(s.data()), s.size(), pos);
}

// The first position at or after `i` whose byte has the high bit set, or `n`.
[[gnu::always_inline]] inline size_t ascii_run_end(const uint8_t* p, size_t i, size_t n) {
#ifdef __SSE2__
  while (i + 32 <= n) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(a)) |
                          (static_cast<uint32_t>(_mm_movemask_epi8(b)) << 16);
    if (high != 0) return i + __builtin_ctz(high);
    i += 32;
  }
#endif
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & kHigh) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + (__builtin_ctzll(word & kHigh) >> 3);
      }
      break;
    }
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

inline bool is_well_formed(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  for (size_t i = ascii_run_end(p, 0, n); i < n; i = ascii_run_end(p, i, n)) {
    const uint32_t len = decode_well_formed(p, n, i).len;
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// cp < 0x110000.
inline size_t encode(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}
inline void append(std::string& s, uint32_t cp) {
  char buf[4];
  s.append(buf, encode(cp, buf));
}

}  // namespace utf8
}  // namespace quorvane
