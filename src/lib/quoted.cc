#include "lib/quoted.h"

#include <cstdint>
#include <cstdio>

#include "unicode/char_class.h"
#include "unicode/grapheme_extend_table.h"

namespace quorvane {
namespace {

// Decodes one UTF-8 character at `i`; returns its length, or 0 when the bytes
// there are not a well-formed character.
size_t decode_char(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = b(i);
  const size_t left = s.size() - i;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  const auto cont = [&](size_t k) { return k < left && (b(i + k) & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF && cont(1)) {
    cp = ((c & 0x1Fu) << 6) | (b(i + 1) & 0x3Fu);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF && cont(1) && cont(2)) {
    cp = ((c & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4 && cont(1) && cont(2) && cont(3)) {
    cp = ((c & 0x07u) << 18) | ((b(i + 1) & 0x3Fu) << 12) | ((b(i + 2) & 0x3Fu) << 6) |
         (b(i + 3) & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

// Every general category but Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs.
bool printable(uint32_t cp) {
  if (cp >= 0x20 && cp < 0x7F) return true;
  return is_letter(cp) || is_mark(cp) || is_number(cp) || is_punct_or_symbol(cp);
}

void append_hex(std::string& out, const char* prefix, uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%x}", prefix, v);
  out += buf;
}

}  // namespace

std::string quoted_text(std::string_view text, bool escape_combining) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    uint32_t cp = 0;
    const size_t n = decode_char(text, i, cp);
    if (n == 0) {
      append_hex(out, "\\x{", static_cast<uint8_t>(text[i]));
      ++i;
      continue;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (printable(cp) && !(escape_combining && unicode_tables::is_grapheme_extend(cp))) {
          out.append(text.substr(i, n));
        } else {
          append_hex(out, "\\u{", cp);
        }
    }
    i += n;
  }
  out += '"';
  return out;
}

}  // namespace quorvane
