#include "lib/quoted.h"

#include <cstdint>
#include <cstdio>

#include "unicode/char_class.h"
#include "unicode/grapheme_extend_table.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

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
    const auto [cp, n] = utf8::decode_well_formed(text, i);
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
