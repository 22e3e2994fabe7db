// Test support: split texts with PCRE2 the way a regex pre-tokenizer does, to
// compare the hand-written scanners against the patterns they replace.
//
//   PcrePattern     a compiled UTF + UCP pattern; FindAll cuts a text into its
//                   matches and the gaps between them (an "Isolated" split)
//   WithExactSpace  rewrites \s and \S as the 25 White_Space code points (PCRE2's
//                   \s under UCP also takes U+180E)
//   PcreAgreesOnClasses  whether PCRE2's Unicode tables (14.0 in Debian 12) give a
//                   code point the same classes as ours; texts with one that
//                   differs cannot be compared
//   Utf8Chars / LoadCorpusTexts  helpers for building the texts
#pragma once

#include <pcre2.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <rapidjson/document.h>

#include "unicode/char_class.h"
#include "unicode/span.h"
#include "unicode/utf8.h"

namespace quorvane::testing {

class PcrePattern {
 public:
  explicit PcrePattern(const std::string& pattern, uint32_t options = 0) {
    int err = 0;
    PCRE2_SIZE err_offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                          PCRE2_UTF | PCRE2_UCP | options, &err, &err_offset, nullptr);
    if (!code_) {
      PCRE2_UCHAR msg[256];
      pcre2_get_error_message(err, msg, sizeof msg);
      throw std::runtime_error("pcre2_compile: " + std::string(reinterpret_cast<char*>(msg)) +
                               " in " + pattern);
    }
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // optional: the interpreter also works
    data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
  }
  ~PcrePattern() {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }
  PcrePattern(const PcrePattern&) = delete;
  PcrePattern& operator=(const PcrePattern&) = delete;

  // Leftmost match at or after `from` in text[0, n); false when none.
  bool Find(const char* text, size_t n, size_t from, size_t* start, size_t* end) {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text), n, from, PCRE2_NO_UTF_CHECK,
                         data_, nullptr);
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    if (rc < 0) throw std::runtime_error("pcre2_match failed: " + std::to_string(rc));
    PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data_);
    *start = ov[0];
    *end = ov[1];
    return true;
  }

  // Matches and gaps of text[s, e), seen as a text of its own, appended to out
  // as offsets into the whole text.
  void FindAll(std::string_view text, size_t s, size_t e, std::vector<Span>& out) {
    const char* sub = text.data() + s;
    size_t n = e - s, p = 0, from = 0;
    size_t a, b;
    while (from <= n && Find(sub, n, from, &a, &b)) {
      if (b == a) throw std::runtime_error("empty match");
      if (a > p) out.push_back({s + p, s + a});
      out.push_back({s + a, s + b});
      p = from = b;
    }
    if (p < n) out.push_back({s + p, s + n});
  }

  bool MatchesWhole(std::string_view text) {
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                         PCRE2_ANCHORED | PCRE2_ENDANCHORED, data_, nullptr);
    return rc >= 0;
  }

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* data_ = nullptr;
};

inline std::string WithExactSpace(std::string_view pattern) {
  static const char kSpaces[] =
      "\\t\\n\\x{0B}\\f\\r\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}"
      "\\x{202F}\\x{205F}\\x{3000}";
  std::string out;
  bool in_class = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '\\' && i + 1 < pattern.size()) {
      char d = pattern[++i];
      if (d == 's') {
        out += in_class ? std::string(kSpaces) : "[" + std::string(kSpaces) + "]";
      } else if (d == 'S' && !in_class) {
        out += "[^" + std::string(kSpaces) + "]";
      } else {
        out += c;
        out += d;
      }
      continue;
    }
    if (c == '[') in_class = true;
    if (c == ']') in_class = false;
    out += c;
  }
  return out;
}

inline std::string Utf8(uint32_t cp) {
  std::string s;
  utf8::append(s, cp);
  return s;
}

inline std::vector<uint32_t> Utf8Chars(std::string_view text) {
  std::vector<uint32_t> cps;
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t i = 0; i < text.size();) {
    DecodedChar d = utf8::decode_or_byte(t, text.size(), i);
    cps.push_back(d.cp);
    i += d.len;
  }
  return cps;
}

// Compares the classes the scanners use (L, Lu|Lt, Ll, M, N, P|S) between
// PCRE2's tables and ours, per code point, with a cache.
class ClassAgreement {
 public:
  bool Agrees(uint32_t cp) {
    if (cp < 0x80) return true;
    auto it = cache_.find(cp);
    if (it != cache_.end()) return it->second;
    std::string s = Utf8(cp);
    bool same = letter_.MatchesWhole(s) == is_letter(cp) &&
                upper_.MatchesWhole(s) == is_upper_or_title(cp) &&
                lower_.MatchesWhole(s) == is_lower(cp) && mark_.MatchesWhole(s) == is_mark(cp) &&
                number_.MatchesWhole(s) == is_number(cp) &&
                punct_.MatchesWhole(s) == is_punct_or_symbol(cp);
    cache_.emplace(cp, same);
    return same;
  }
  bool AgreesOnText(std::string_view text) {
    for (uint32_t cp : Utf8Chars(text)) {
      if (!Agrees(cp)) return false;
    }
    return true;
  }
  bool Unassigned(uint32_t cp) {  // in PCRE2's tables
    return unassigned_.MatchesWhole(Utf8(cp));
  }

 private:
  PcrePattern letter_{"\\p{L}"}, upper_{"[\\p{Lu}\\p{Lt}]"}, lower_{"\\p{Ll}"}, mark_{"\\p{M}"},
      number_{"\\p{N}"}, punct_{"[\\p{P}\\p{S}]"}, unassigned_{"\\p{Cn}"};
  std::unordered_map<uint32_t, bool> cache_;
};

// The "text" fields of a JSON-lines corpus file under $QUORVANE_TEST_CACHE/corpus,
// at most `max_bytes` in total; empty when the cache or the file is absent.
inline std::vector<std::string> LoadCorpusTexts(const char* file, size_t max_bytes) {
  std::vector<std::string> texts;
  const char* root = std::getenv("QUORVANE_TEST_CACHE");
  if (!root || !*root) return texts;
  std::ifstream in(std::string(root) + "/corpus/" + file);
  std::string line;
  size_t total = 0;
  while (total < max_bytes && std::getline(in, line)) {
    rapidjson::Document doc;
    doc.Parse(line.data(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) continue;
    auto it = doc.FindMember("text");
    if (it == doc.MemberEnd() || !it->value.IsString()) continue;
    texts.emplace_back(it->value.GetString(), it->value.GetStringLength());
    total += texts.back().size();
  }
  return texts;
}

}  // namespace quorvane::testing
