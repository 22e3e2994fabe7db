#include "lib/split_regex.h"

#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

#include "lib/split_regex_translate.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

constexpr uint32_t kMatchLimit = 1000000;
// A search that exceeds the match limit is retried with a larger one, paid from a
// reserve of this many steps per byte of the span: long runs that need work linear
// in their length (a million spaces before a look-ahead) still match, while a
// pattern that backtracks without end stops after work linear in the text.
constexpr uint64_t kReserveStepsPerByte = 16;

// Per-thread matching state: the match limit, a JIT stack big enough for long
// texts, and the match data. Nothing mutable is shared between threads.
struct MatchState {
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;
  pcre2_match_data* data = nullptr;

  MatchState() { create(); }
  ~MatchState() { destroy(); }

  // All three parts exist: without them a match would fail and leave the rest
  // of a span whole.
  bool complete() const { return context != nullptr && jit_stack != nullptr && data != nullptr; }

  void create() {
    context = pcre2_match_context_create(nullptr);
    jit_stack = pcre2_jit_stack_create(64 * 1024, 64 * 1024 * 1024, nullptr);
    data = pcre2_match_data_create(1, nullptr);
    if (context != nullptr) {
      pcre2_set_match_limit(context, kMatchLimit);
      if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    }
  }
  void destroy() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
    data = nullptr;
    jit_stack = nullptr;
    context = nullptr;
  }
};

// The thread's state; an allocation failure is reported (and retried by the
// next call) rather than matching without it.
MatchState& match_state() {
  thread_local MatchState state;
  if (!state.complete()) {
    state.destroy();
    state.create();
    if (!state.complete()) throw std::bad_alloc();
  }
  return state;
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
  uint64_t reserve = kReserveStepsPerByte * length;
  while (start <= length) {
    int rc = pcre2_match(code, subject, length, start, options, st.data, st.context);
    // Retry with twice the limit each time, charging each try in full.
    for (uint64_t limit = 2ull * kMatchLimit; rc == PCRE2_ERROR_MATCHLIMIT && limit <= reserve;
         limit *= 2) {
      reserve -= limit;
      pcre2_set_match_limit(st.context,
                            static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX)));
      rc = pcre2_match(code, subject, length, start, options, st.data, st.context);
      pcre2_set_match_limit(st.context, kMatchLimit);
    }
    if (rc == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();  // the encode entry point reports it
    if (rc < 0) break;  // no match, or an error such as the match limit: the rest stays whole
    options = PCRE2_NO_UTF_CHECK;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(st.data);
    const size_t ms = ov[0];
    const size_t me = ov[1];
    if (me <= ms) {
      // An empty match yields no piece but cuts the gap, as the reference's split
      // does (^ cuts at line starts, \b at word edges); the next search starts one
      // character on.
      if (s + ms > gap) {
        out.push_back(Span{gap, s + ms});
        gap = s + ms;
      }
      if (ms >= length) break;
      start = ms + utf8::decode_or_byte(subject, length, ms).len;
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
  auto translated = translate_split_pattern(pattern);
  if (!translated) return Error{translated.error()};
  const std::string& rewritten = translated.value();
  // The translation spells out every class, so nothing Unicode-dependent is asked
  // of PCRE2: no UCP, no caseless matching, no ^ $ or dot.
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(rewritten.data()), rewritten.size(),
                                   PCRE2_UTF | PCRE2_NEVER_BACKSLASH_C, &error, &offset, nullptr);
  if (code == nullptr) {
    // Offsets into the translation would mislead.
    PCRE2_UCHAR buf[256];
    pcre2_get_error_message(error, buf, sizeof buf);
    return Error{reinterpret_cast<const char*>(buf)};
  }
  // Without JIT the interpreter still matches correctly, only slower. PCRE2 10.42's JIT
  // misses matches of atomic groups holding a lazy repeat ((?>a+?)b on "aab"), so
  // patterns with atomic groups stay with the interpreter.
  if (rewritten.find("(?>") == std::string::npos) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
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
