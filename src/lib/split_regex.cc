#include "lib/split_regex.h"

#include <pcre2.h>

#include <string>

namespace quorvane {
namespace {

constexpr uint32_t kMatchLimit = 1000000;

// The 25 White_Space characters as class items. PCRE2's own \s also takes
// U+180E (its Unicode tables are older), so \s and \S are spelled out.
constexpr std::string_view kSpaceItems =
    "\\x{9}-\\x{d}\\x{20}\\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}\\x{2028}\\x{2029}"
    "\\x{202f}\\x{205f}\\x{3000}";

// Copies the character class that opens at `i` (at its '['), replacing \s and
// \S; returns the index after its closing ']' (or the end when it has none).
size_t rewrite_class(std::string_view p, size_t i, std::string& out) {
  size_t j = i + 1;
  const bool negated = j < p.size() && p[j] == '^';
  if (negated) ++j;
  std::string items;
  bool has_non_space = false;
  if (j < p.size() && p[j] == ']') items += p[j++];  // a leading ']' is literal
  while (j < p.size() && p[j] != ']') {
    if (p[j] == '\\' && j + 1 < p.size()) {
      if (p[j + 1] == 's') {
        items += kSpaceItems;
      } else if (p[j + 1] == 'S') {
        has_non_space = true;
      } else {
        items += p.substr(j, 2);
      }
      j += 2;
    } else if (p[j] == '[' && j + 1 < p.size() && p[j + 1] == ':') {
      const size_t close = p.find(":]", j + 2);
      const size_t end = close == std::string_view::npos ? j + 1 : close + 2;
      items += p.substr(j, end - j);
      j = end;
    } else {
      items += p[j++];
    }
  }
  if (j >= p.size()) {  // unterminated: leave it for the compiler to report
    out += p.substr(i);
    return p.size();
  }
  ++j;
  const std::string space = "[" + std::string(kSpaceItems) + "]";
  const std::string non_space = "[^" + std::string(kSpaceItems) + "]";
  if (!has_non_space) {
    out += negated ? "[^" : "[";
    out += items;
    out += ']';
  } else if (items.empty()) {
    out += negated ? space : non_space;
  } else if (!negated) {  // non-space, or one of the items
    out += "(?:" + non_space + "|[" + items + "])";
  } else {  // space, but none of the items
    out += "(?:(?![" + items + "])" + space + ")";
  }
  return j;
}

std::string rewrite_white_space(std::string_view p) {
  std::string out;
  out.reserve(p.size());
  size_t i = 0;
  while (i < p.size()) {
    const char c = p[i];
    if (c == '\\' && i + 1 < p.size()) {
      const char n = p[i + 1];
      if (n == 's' || n == 'S') {
        out += n == 's' ? "[" : "[^";
        out += kSpaceItems;
        out += ']';
        i += 2;
      } else if (n == 'Q') {  // quoted literal text up to \E
        const size_t end = p.find("\\E", i + 2);
        const size_t stop = end == std::string_view::npos ? p.size() : end + 2;
        out += p.substr(i, stop - i);
        i = stop;
      } else {
        out += p.substr(i, 2);
        i += 2;
      }
    } else if (c == '[') {
      i = rewrite_class(p, i, out);
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// Per-thread matching state: the match limit, a JIT stack big enough for long
// texts, and the match data. Nothing mutable is shared between threads.
struct MatchState {
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;
  pcre2_match_data* data = nullptr;

  MatchState() {
    context = pcre2_match_context_create(nullptr);
    jit_stack = pcre2_jit_stack_create(64 * 1024, 64 * 1024 * 1024, nullptr);
    data = pcre2_match_data_create(1, nullptr);
    if (context != nullptr) {
      pcre2_set_match_limit(context, kMatchLimit);
      if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    }
  }
  ~MatchState() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
  }
};

MatchState& match_state() {
  thread_local MatchState state;
  return state;
}

size_t utf8_step(std::string_view text, size_t i) {
  ++i;
  while (i < text.size() && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) ++i;
  return i;
}

// Appends the pieces of [s, e) cut by one pattern: its non-empty matches and the
// stretches between them.
void cut_span(const pcre2_code* code, MatchState& st, std::string_view text, uint64_t s, uint64_t e,
              std::vector<Span>& out) {
  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data() + s);
  const size_t length = e - s;
  uint64_t gap = s;
  size_t start = 0;
  uint32_t options = 0;  // the first call checks the span is UTF-8
  while (start <= length) {
    const int rc = pcre2_match(code, subject, length, start, options, st.data, st.context);
    if (rc < 0) break;  // no match, or an error such as the match limit: the rest stays whole
    options = PCRE2_NO_UTF_CHECK;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(st.data);
    const size_t ms = ov[0];
    const size_t me = ov[1];
    if (me <= ms) {  // empty (or a \K oddity): no cut; the next search starts one character on
      if (ms >= length) break;
      start = utf8_step(std::string_view(text.data() + s, length), ms);
      continue;
    }
    if (s + ms > gap) out.push_back(Span{gap, s + ms});
    out.push_back(Span{s + ms, s + me});
    gap = s + me;
    start = me;
  }
  if (gap < e) out.push_back(Span{gap, e});
}

}  // namespace

Result<SplitRegex> SplitRegex::compile(std::string_view pattern) {
  const std::string rewritten = rewrite_white_space(pattern);
  pcre2_compile_context* cc = pcre2_compile_context_create(nullptr);
  if (cc != nullptr) pcre2_set_newline(cc, PCRE2_NEWLINE_LF);
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(
      reinterpret_cast<PCRE2_SPTR>(rewritten.data()), rewritten.size(),
      PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY | PCRE2_NEVER_BACKSLASH_C, &error, &offset, cc);
  pcre2_compile_context_free(cc);
  if (code == nullptr) {
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(error, buf, sizeof buf);
    std::string message(reinterpret_cast<const char*>(buf));
    // Offsets into a rewritten pattern would mislead.
    if (rewritten == pattern) message += " at offset " + std::to_string(offset);
    return Error{message};
  }
  // Without JIT the interpreter still matches correctly, only slower.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  SplitRegex re;
  re.pattern_ = std::string(pattern);
  re.code_ = code;
  return re;
}

SplitRegex::SplitRegex(SplitRegex&& other) noexcept
    : pattern_(std::move(other.pattern_)), code_(other.code_) {
  other.code_ = nullptr;
}

SplitRegex& SplitRegex::operator=(SplitRegex&& other) noexcept {
  if (this != &other) {
    pcre2_code_free(static_cast<pcre2_code*>(code_));
    pattern_ = std::move(other.pattern_);
    code_ = other.code_;
    other.code_ = nullptr;
  }
  return *this;
}

SplitRegex::~SplitRegex() { pcre2_code_free(static_cast<pcre2_code*>(code_)); }

std::vector<Span> regex_pieces(const std::vector<SplitRegex>& patterns, std::string_view text) {
  std::vector<Span> current{Span{0, text.size()}};
  if (patterns.empty()) return current;
  std::vector<Span> next;
  MatchState& st = match_state();
  for (const SplitRegex& re : patterns) {
    next.clear();
    const auto* code = static_cast<const pcre2_code*>(re.code());
    for (const Span& span : current) {
      if (span.end > span.start) cut_span(code, st, text, span.start, span.end, next);
    }
    current.swap(next);
  }
  return current;
}

}  // namespace quorvane
