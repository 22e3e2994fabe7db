// UTF-8 reading and writing, each reader named by the rule it applies.
//
//   decode_or_byte      lenient, for text already known to be UTF-8 (a str, a string
//                       of a checked file): continuation bytes are not checked; a
//                       byte that cannot lead, or a sequence cut by the end, reads as
//                       one character of the byte's own value
//   decode_well_formed  strict: one character, or length 0 where the bytes are not
//                       well-formed (overlong, surrogate, above U+10FFFF, cut short)
//   is_well_formed      strict, a whole text
//   is_continuation     10xxxxxx
//   encode / append     a code point below U+110000 as 1 to 4 bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

inline bool is_well_formed(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
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
