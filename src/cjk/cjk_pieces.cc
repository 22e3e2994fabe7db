#include "cjk/cjk_pieces.h"

#include <utility>

#include "pretok/scan_runs.h"

namespace quorvane {

namespace {

using scan::decode_or_byte;

// A match always ends after its start, so end 0 can mean "no match here".
constexpr size_t kNoMatch = 0;

// Pass 1: \p{N}{1,3}.
struct DigitMatcher {
  size_t operator()(const uint8_t* t, size_t e, size_t i, uint32_t* len) const {
    DecodedChar c = decode_or_byte(t, e, i);
    *len = c.len;
    if (!uc::number(c.cp)) return kNoMatch;
    return scan::number_run_end(t, e, i + c.len, 2);
  }
};

inline bool ideograph_or_kana(uint32_t cp) {
  return (cp >= 0x4E00 && cp <= 0x9FA5) || (cp >= 0x3040 && cp <= 0x30FF);
}

// Pass 2: [一-龥぀-ゟ゠-ヿ]+.
struct IdeographMatcher {
  size_t operator()(const uint8_t* t, size_t e, size_t i, uint32_t* len) const {
    DecodedChar c = decode_or_byte(t, e, i);
    *len = c.len;
    if (!ideograph_or_kana(c.cp)) return kNoMatch;
    i += c.len;
    while (i < e) {
      DecodedChar d = decode_or_byte(t, e, i);
      if (!ideograph_or_kana(d.cp)) break;
      i += d.len;
    }
    return i;
  }
};

inline bool ascii_punct(uint8_t b) {
  return (b >= 0x21 && b <= 0x2F) || (b >= 0x3A && b <= 0x40) || (b >= 0x5B && b <= 0x60) ||
         (b >= 0x7B && b <= 0x7E);
}
inline bool ascii_letter(uint8_t b) { return (scan::kByteFlags[b] & ascii::kLetter) != 0; }
inline bool letter_or_mark(uint32_t cp) { return uc::letter(cp) || uc::mark(cp); }

size_t punct_run_end(const uint8_t* t, size_t e, size_t i) {
  while (i < e) {
    DecodedChar c = decode_or_byte(t, e, i);
    if (!uc::punct_or_symbol(c.cp)) break;
    i += c.len;
  }
  return scan::byte_run_end(t, e, i, ascii::kCrLf);
}

// Pass 3: [ASCII punctuation][A-Za-z]+ | [^\r\n\p{L}\p{P}\p{S}]?[\p{L}\p{M}]+
//   | ?[\p{P}\p{S}]+[\r\n]* | \s*[\r\n]+ | \s+(?!\S) | \s+
struct PunctuationMatcher {
  size_t operator()(const uint8_t* t, size_t e, size_t i, uint32_t* len) const {
    DecodedChar c = decode_or_byte(t, e, i);
    *len = c.len;
    if (c.cp < 0x80 && ascii_punct(c.cp) && i + 1 < e && ascii_letter(t[i + 1])) {
      size_t j = i + 2;
      while (j < e && ascii_letter(t[j])) ++j;
      return j;
    }
    bool lm = letter_or_mark(c.cp);
    bool ps = !lm && uc::punct_or_symbol(c.cp);
    if (!lm && !ps && c.cp != '\r' && c.cp != '\n' && i + c.len < e &&
        letter_or_mark(decode_or_byte(t, e, i + c.len).cp)) {
      return scan::letter_run_end(t, e, i + c.len, true);
    }
    if (lm) return scan::letter_run_end(t, e, i + c.len, true);
    if (c.cp == ' ' && i + 1 < e && uc::punct_or_symbol(decode_or_byte(t, e, i + 1).cp)) {
      return punct_run_end(t, e, i + 1);
    }
    if (ps) return punct_run_end(t, e, i + c.len);
    if (!uc::whitespace(c.cp)) return kNoMatch;
    scan::WhitespaceRun r = scan::whitespace_run(t, e, i);
    if (r.crlf_end) return r.crlf_end;
    return scan::whitespace_piece_end(t, e, r, i, false);
  }
};

// Cuts every span of `in` into matches and the gaps between them, into `out`.
template <class Matcher>
void cut_spans(const uint8_t* t, const std::vector<Span>& in, std::vector<Span>& out,
               Matcher match) {
  out.clear();
  for (const Span& span : in) {
    size_t s = span.start, e = span.end;
    if (s >= e) continue;
    size_t p = s, i = s;
    while (i < e) {
      uint32_t len;
      size_t m = match(t, e, i, &len);
      if (m == kNoMatch) {
        i += len;
        continue;
      }
      if (i > p) out.push_back({p, i});
      out.push_back({i, m});
      p = i = m;
    }
    if (p < e) out.push_back({p, e});
  }
}

}  // namespace

void cjk_pieces(const uint8_t* text, size_t length, std::vector<Span>& spans,
                std::vector<Span>& work) {
  spans.clear();
  if (length == 0) return;
  spans.push_back({0, length});
  cut_spans(text, spans, work, DigitMatcher{});
  std::swap(spans, work);
  cut_spans(text, spans, work, IdeographMatcher{});
  std::swap(spans, work);
  cut_spans(text, spans, work, PunctuationMatcher{});
  std::swap(spans, work);
}

}  // namespace quorvane
