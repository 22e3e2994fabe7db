#include "lib/split_regex_translate.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "unicode/code_point_set.h"
#include "unicode/pattern_sets.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

namespace ps = pattern_sets;

// The largest repeat count PCRE2 accepts.
constexpr uint32_t kMaxRepeat = 65535;

struct Flags {
  bool ignore_case = false;
  bool dot_all = false;  // the reference's (?m)
  bool extended = false;
};

// kGroup: a plain group, which does not end a run of case-insensitive literals.
enum class AtomKind { kNone, kLiteral, kGroup, kOther, kAssertion };

bool is_ascii_alnum(uint32_t cp) {
  return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_code_point(uint32_t cp, std::string& out) {
  if (is_ascii_alnum(cp)) {
    out += static_cast<char>(cp);
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\x{%x}", cp);
    out += buf;
  }
}

// A set as one PCRE2 class: the set itself or its complement, whichever has fewer
// ranges. Surrogates never occur in UTF-8 text and PCRE2 refuses them in classes.
void append_set(CodePointSet set, std::string& out) {
  set.subtract(CodePointSet::of(0xD800, 0xDFFF));
  if (set.empty()) {
    out += "(?!)";
    return;
  }
  CodePointSet rest = set.complement();
  rest.subtract(CodePointSet::of(0xD800, 0xDFFF));
  const bool negate = !rest.empty() && rest.ranges().size() < set.ranges().size();
  const CodePointSet& items = negate ? rest : set;
  out += negate ? "[^" : "[";
  for (const auto& r : items.ranges()) {
    append_code_point(r.first, out);
    if (r.last != r.first) {
      if (r.last > r.first + 1) out += '-';
      append_code_point(r.last, out);
    }
  }
  out += ']';
}

class Translator {
 public:
  explicit Translator(std::string_view p) : p_(p) {}

  Result<std::string> run() {
    std::string out;
    bool nullable = false;
    if (alternation(Flags{}, out, nullable) && i_ < p_.size())
      fail("unmatched closing parenthesis", i_);
    if (!error_.empty()) return Error{error_};
    return out;
  }

 private:
  bool fail(const std::string& what, size_t at) {
    if (error_.empty()) error_ = what + " at offset " + std::to_string(at);
    return false;
  }

  bool at_end() const { return i_ >= p_.size(); }
  char peek(size_t ahead = 0) const { return i_ + ahead < p_.size() ? p_[i_ + ahead] : '\0'; }

  // Reads one UTF-8 encoded code point of the pattern.
  bool read_code_point(uint32_t& cp) {
    const DecodedChar c = utf8::decode_well_formed(p_, i_);
    if (c.len == 0) return fail("invalid UTF-8 in pattern", i_);
    cp = c.cp;
    i_ += c.len;
    return true;
  }

  void skip_extended_space() {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || (c >= '\t' && c <= '\r')) {
        ++i_;
      } else if (c == '#') {
        while (!at_end() && peek() != '\n') ++i_;
      } else {
        break;
      }
    }
  }

  // Case-insensitive literals in a row, simply folded: the reference matches such
  // a run against a character whose full folding it spells (ss against U+00DF).
  bool extend_run(uint32_t cp, size_t at) {
    if (ps::multi_fold_sources().contains(cp)) {
      return fail("case-insensitive character with a multi-character folding", at);
    }
    folded_run_ += static_cast<char32_t>(ps::simple_fold(cp));
    for (const auto& target : ps::multi_fold_targets()) {
      if (folded_run_.size() >= target.size() &&
          folded_run_.compare(folded_run_.size() - target.size(), target.size(), target) == 0) {
        return fail("case-insensitive text that a multi-character folding matches", at);
      }
    }
    return true;
  }

  // Each alternative continues the literal run that stood before the group.
  // `nullable` tells whether some alternative can match the empty string.
  bool alternation(Flags f, std::string& out, bool& nullable) {
    const std::u32string run_before = folded_run_;
    if (!sequence(f, out, nullable)) return false;
    while (peek() == '|') {
      ++i_;
      out += '|';
      folded_run_ = run_before;
      bool alternative_nullable = false;
      if (!sequence(f, out, alternative_nullable)) return false;
      nullable = nullable || alternative_nullable;
    }
    return true;
  }

  bool sequence(Flags f, std::string& out, bool& nullable) {
    nullable = true;
    while (true) {
      if (f.extended) skip_extended_space();
      if (at_end() || peek() == '|' || peek() == ')') return true;
      // An option switch without ':' governs the rest of the enclosing group,
      // alternatives included: a(?i)b|c means a(?i:b|c).
      if (peek() == '(' && peek(1) == '?') {
        size_t j = i_ + 2;
        Flags g = f;
        if (option_letters(j, g) && j < p_.size() && p_[j] == ')') {
          i_ = j + 1;
          out += "(?:";
          bool rest_nullable = false;
          if (!alternation(g, out, rest_nullable)) return false;
          nullable = nullable && rest_nullable;
          out += ')';
          return true;
        }
      }
      std::string atom;
      AtomKind kind = AtomKind::kNone;
      group_nullable_ = false;
      if (!parse_atom(f, atom, kind)) return false;
      if (kind == AtomKind::kNone) continue;  // a comment
      bool atom_nullable = kind == AtomKind::kAssertion || group_nullable_;
      if ((kind != AtomKind::kLiteral || !f.ignore_case) && kind != AtomKind::kGroup) {
        folded_run_.clear();
      }
      if (f.extended) skip_extended_space();
      if (!quantifier(atom, kind, atom_nullable)) return false;
      nullable = nullable && atom_nullable;
      out += atom;
    }
  }

  // Reads option letters [imx]*(-[imx]*)? from p_[j]; false on any other letter.
  bool option_letters(size_t& j, Flags& g) {
    bool on = true;
    for (; j < p_.size(); ++j) {
      const char c = p_[j];
      if (c == '-' && on) {
        on = false;
      } else if (c == 'i') {
        g.ignore_case = on;
      } else if (c == 'm') {
        g.dot_all = on;
      } else if (c == 'x') {
        g.extended = on;
      } else {
        return c == ')' || c == ':';
      }
    }
    return false;
  }

  // Reads {n}, {n,}, {,m} or {n,m} at i_; false (and i_ unchanged) when the text
  // there is not an interval, which makes the brace a literal.
  bool read_interval(uint32_t& lo, uint32_t& hi, bool& bounded, size_t& end) {
    size_t j = i_ + 1;
    auto number = [&](uint64_t& v) {
      const size_t s = j;
      v = 0;
      while (j < p_.size() && p_[j] >= '0' && p_[j] <= '9')
        v = std::min<uint64_t>(v * 10 + (p_[j++] - '0'), UINT32_MAX);
      return j > s;
    };
    uint64_t a = 0, b = 0;
    const bool has_lo = number(a);
    bool has_hi = false, comma = false;
    if (j < p_.size() && p_[j] == ',') {
      comma = true;
      ++j;
      has_hi = number(b);
    }
    if (j >= p_.size() || p_[j] != '}' || (!has_lo && !has_hi)) return false;
    end = j + 1;
    lo = static_cast<uint32_t>(std::min<uint64_t>(a, UINT32_MAX));
    bounded = !comma || has_hi;
    hi = static_cast<uint32_t>(std::min<uint64_t>(comma ? b : a, UINT32_MAX));
    return true;
  }

  // `nullable` comes in as whether the atom can match the empty string and goes out
  // as whether the quantified atom can.
  bool quantifier(std::string& atom, AtomKind kind, bool& nullable) {
    const char c = peek();
    const bool simple = c == '*' || c == '+' || c == '?';
    uint32_t lo = 0, hi = 0;
    bool bounded = false;
    size_t end = 0;
    const bool interval = c == '{' && read_interval(lo, hi, bounded, end);
    if (!simple && !interval) return true;
    if (kind == AtomKind::kAssertion) return fail("quantifier after an assertion", i_);
    // The reference leaves a loop after an iteration that matched nothing, even one
    // short of its minimum, where PCRE2 goes on to the next: ((?!o)|f){2}\B matches
    // "f" of "fo" in PCRE2 only. A group that can match empty may run once at most.
    if (nullable && (c == '*' || c == '+' || (interval && (!bounded || hi > 1))))
      return fail("repeated group that can match the empty string", i_);
    if (simple) {
      ++i_;
      atom += c;
      if (peek() == '?' || peek() == '+') atom += p_[i_++];  // lazy or possessive
      nullable = nullable || c != '+';
    } else {
      if (lo > kMaxRepeat || (bounded && hi > kMaxRepeat))
        return fail("repeat count above 65535", i_);
      if (bounded && hi < lo) return fail("repeat bounds in reverse order", i_);
      i_ = end;
      nullable = nullable || lo == 0;
      std::string q = "{" + std::to_string(lo) +
                      (bounded ? (hi == lo ? "" : "," + std::to_string(hi)) : ",") + "}";
      const bool exact = bounded && hi == lo;
      // In the reference an interval takes no possessive '+', and an exact one no
      // lazy '?': both are a second quantifier on the repeated atom.
      if (peek() == '?' && !exact) {
        ++i_;
        atom += q + "?";
      } else if (peek() == '?' || peek() == '+') {
        // x{0,2}+ is (?:x{0,2})+ there: a loop over something that can match empty.
        if (peek() == '+' && nullable)
          return fail("repeated group that can match the empty string", i_);
        if (peek() == '?') nullable = true;
        atom = "(?:" + atom + q + ")" + p_[i_++];
      } else {
        atom += q;
      }
    }
    const char n = peek();
    if (n == '*' || n == '+' || n == '?' || (n == '{' && read_interval(lo, hi, bounded, end))) {
      return fail("nested quantifier", i_);
    }
    return true;
  }

  bool parse_atom(Flags f, std::string& out, AtomKind& kind) {
    const size_t at = i_;
    const char c = peek();
    if (c == '*' || c == '+' || c == '?') return fail("quantifier without a target", at);
    if (c == '(') return group(f, out, kind);
    if (c == '[') {
      CodePointSet set;
      if (!bracket_class(f, set)) return false;
      append_set(set, out);
      kind = AtomKind::kOther;
      return true;
    }
    if (c == '.') {
      ++i_;
      CodePointSet all = CodePointSet::of(0, kMaxCodePoint);
      if (!f.dot_all) all.subtract(CodePointSet::of('\n', '\n'));
      append_set(all, out);
      kind = AtomKind::kOther;
      return true;
    }
    if (c == '^' || c == '$') {
      ++i_;
      // Line anchors. ^ holds at the start, and after a newline unless the text ends
      // there; $ before a newline and at the end.
      out += c == '^' ? "(?:(?<![\\x{0}-\\x{10ffff}])|(?<=\\n)(?=[\\x{0}-\\x{10ffff}]))"
                      : "(?![^\\n])";
      kind = AtomKind::kAssertion;
      return true;
    }
    if (c == '\\') return escape_outside(f, out, kind);
    uint32_t cp = 0;
    if (!read_code_point(cp)) return false;
    return literal(f, cp, at, out, kind);
  }

  bool literal(Flags f, uint32_t cp, size_t at, std::string& out, AtomKind& kind) {
    kind = AtomKind::kLiteral;
    if (!f.ignore_case) {
      append_code_point(cp, out);
      return true;
    }
    if (!extend_run(cp, at)) return false;
    const CodePointSet closed = ps::case_closure(CodePointSet::of(cp, cp));
    if (closed.ranges().size() == 1 && closed.ranges()[0].first == closed.ranges()[0].last) {
      append_code_point(cp, out);
    } else {
      append_set(closed, out);
    }
    return true;
  }

  bool group(Flags f, std::string& out, AtomKind& kind) {
    const size_t open = i_;
    kind = AtomKind::kGroup;
    ++i_;
    std::string prefix = "(?:";
    Flags g = f;
    if (peek() == '?') {
      const char k = peek(1);
      if (k == '#') {  // comment
        const size_t close = p_.find(')', i_);
        if (close == std::string_view::npos) return fail("missing closing parenthesis", p_.size());
        i_ = close + 1;
        kind = AtomKind::kNone;
        return true;
      }
      if (k == ':') {
        i_ += 2;
      } else if (k == '=' || k == '!') {
        prefix = std::string("(?") + k;
        kind = AtomKind::kAssertion;
        i_ += 2;
      } else if (k == '>') {
        prefix = "(?>";
        kind = AtomKind::kOther;
        i_ += 2;
      } else if (k == '<' && (peek(2) == '=' || peek(2) == '!')) {
        prefix = std::string("(?<") + peek(2);
        kind = AtomKind::kAssertion;
        i_ += 3;
      } else if (k == '<' || k == '\'') {  // named group: its name is not needed
        const char close = k == '<' ? '>' : '\'';
        size_t j = i_ + 2;
        while (j < p_.size() && (is_ascii_alnum(static_cast<uint8_t>(p_[j])) || p_[j] == '_')) ++j;
        if (j == i_ + 2 || j >= p_.size() || p_[j] != close)
          return fail("invalid group name", open);
        i_ = j + 1;
      } else {
        size_t j = i_ + 1;
        if (!option_letters(j, g) || j >= p_.size() || p_[j] != ':') {
          return fail("unsupported group (?" + std::string(1, k), open);
        }
        i_ = j + 1;
      }
    }
    out += prefix;
    bool body_nullable = false;
    if (!alternation(g, out, body_nullable)) return false;
    group_nullable_ = body_nullable;
    if (peek() != ')') return fail("missing closing parenthesis", p_.size());
    ++i_;
    out += ')';
    return true;
  }

  // Reads \xHH, \x{...}, \uHHHH, \0oo, \o{...} and the control escapes after the
  // backslash (i_ at the letter). False with no error when `c` starts none of them.
  bool char_escape(uint32_t& cp, bool& is_char) {
    const size_t at = i_ - 1;
    const char c = peek();
    is_char = true;
    auto braced = [&](int base) {
      const size_t close = p_.find('}', i_);
      if (close == std::string_view::npos || close == i_ + 2)
        return fail("invalid code point escape", at);
      uint64_t v = 0;
      for (size_t j = i_ + 2; j < close; ++j) {
        const int d = hex_value(p_[j]);
        if (d < 0 || d >= base || v > kMaxCodePoint) return fail("invalid code point escape", at);
        v = v * base + d;
      }
      if (v > kMaxCodePoint || (v >= 0xD800 && v <= 0xDFFF))
        return fail("invalid code point escape", at);
      cp = static_cast<uint32_t>(v);
      i_ = close + 1;
      return true;
    };
    switch (c) {
      case 't':
        cp = '\t';
        break;
      case 'n':
        cp = '\n';
        break;
      case 'r':
        cp = '\r';
        break;
      case 'f':
        cp = '\f';
        break;
      case 'v':
        cp = '\v';
        break;
      case 'a':
        cp = 0x07;
        break;
      case 'e':
        cp = 0x1B;
        break;
      case 'x': {
        if (peek(1) == '{') return braced(16);
        int d0 = hex_value(peek(1));
        if (d0 < 0) return fail("invalid \\x escape", at);
        int d1 = hex_value(peek(2));
        cp = d1 < 0 ? d0 : d0 * 16 + d1;
        // A byte escape above 0x7F is one byte of UTF-8 in the reference, not a character.
        if (cp > 0x7F) return fail("\\x escape of a byte above 0x7F", at);
        i_ += d1 < 0 ? 2 : 3;
        return true;
      }
      case 'u': {
        uint32_t v = 0;
        for (size_t k = 1; k <= 4; ++k) {
          const int d = hex_value(peek(k));
          if (d < 0) return fail("invalid \\u escape", at);
          v = v * 16 + d;
        }
        if (v >= 0xD800 && v <= 0xDFFF) return fail("invalid \\u escape", at);
        cp = v;
        i_ += 5;
        return true;
      }
      case 'o':
        if (peek(1) != '{') return fail("unsupported escape \\o", at);
        return braced(8);
      case '0': {
        uint32_t v = 0;
        size_t k = 1;
        while (k <= 2 && peek(k) >= '0' && peek(k) <= '7') v = v * 8 + (peek(k++) - '0');
        cp = v;
        i_ += k;
        return true;
      }
      default:
        is_char = false;
        return true;
    }
    ++i_;
    return true;
  }

  // \w \W \d \D \s \S \h \H \p{..} \P{..} (i_ at the letter); false with no error
  // and `is_set` false when the escape is not one of them.
  bool set_escape(bool in_bracket, CodePointSet& set, bool& is_set) {
    const size_t at = i_ - 1;
    const char c = peek();
    is_set = true;
    const char lower = static_cast<char>(c | 0x20);
    if (c == 'p' || c == 'P') {
      if (peek(1) != '{') return fail("property escape without braces", at);
      const size_t close = p_.find('}', i_);
      if (close == std::string_view::npos) return fail("invalid property name", at);
      std::string_view name = p_.substr(i_ + 2, close - i_ - 2);
      bool negate = c == 'P';
      if (!name.empty() && name[0] == '^') {
        negate = !negate;
        name.remove_prefix(1);
      }
      if (!ps::named_property(name, in_bracket, set))
        return fail("unknown property \\p{" + std::string(name) + "}", at);
      if (negate) {
        set = set.complement();
        negated_item_ = true;
      }
      i_ = close + 1;
      return true;
    }
    if (lower == 'w') {
      set = ps::word_chars(in_bracket);
    } else if (lower == 'd') {
      set = ps::digit_chars();
    } else if (lower == 's') {
      set = ps::space_chars();
    } else if (lower == 'h') {
      set = ps::hex_chars();
    } else {
      is_set = false;
      return true;
    }
    if (c != lower) {
      set = set.complement();
      negated_item_ = true;
    }
    ++i_;
    return true;
  }

  bool escape_outside(Flags f, std::string& out, AtomKind& kind) {
    const size_t at = i_;
    ++i_;
    if (at_end()) return fail("trailing backslash", at);
    const char c = peek();
    bool found = false;
    CodePointSet set;
    if (!set_escape(/*in_bracket=*/false, set, found)) return false;
    if (found) {
      append_set(set, out);
      kind = AtomKind::kOther;
      return true;
    }
    if (c == 'b' || c == 'B') {
      ++i_;
      std::string w;
      append_set(ps::word_chars(/*in_bracket=*/false), w);
      out += c == 'b' ? "(?:(?<=" + w + ")(?!" + w + ")|(?<!" + w + ")(?=" + w + "))"
                      : "(?:(?<=" + w + ")(?=" + w + ")|(?<!" + w + ")(?!" + w + "))";
      kind = AtomKind::kAssertion;
      return true;
    }
    uint32_t cp = 0;
    if (!char_escape(cp, found)) return false;
    if (found) return literal(f, cp, at, out, kind);
    return other_escape(f, at, out, kind);
  }

  // Escapes that are neither classes nor characters: refused when they are letters
  // or digits (anchors, back-references and the like), literal otherwise.
  bool other_escape(Flags f, size_t at, std::string& out, AtomKind& kind) {
    const auto c = static_cast<uint8_t>(peek());
    if (c >= '1' && c <= '9') return fail("backreference \\" + std::string(1, c), at);
    if (is_ascii_alnum(c)) return fail("unsupported escape \\" + std::string(1, c), at);
    uint32_t cp = 0;
    if (!read_code_point(cp)) return false;
    return literal(f, cp, at, out, kind);
  }

  // A bracket class at i_ ('['), with nested classes, && and POSIX brackets.
  bool bracket_class(Flags f, CodePointSet& set) {
    const size_t open = i_;
    ++i_;
    const bool negated = peek() == '^';
    if (negated) ++i_;
    bool intersected = false;
    negated_item_ = false;
    negated_depth_ += negated;
    const bool ok = class_items(f, set, intersected, open);
    negated_depth_ -= negated;
    if (!ok) return false;
    // The reference loses the characters above ASCII when it negates, inside another
    // negated class, a class holding a negated item ([^[^\w\P{Nd}]]).
    if (negated && negated_depth_ > 0 && negated_item_) {
      return fail("negated class with a negated item inside a negated class", open);
    }
    if (f.ignore_case) {
      if (intersected) return fail("case-insensitive class intersection", open);
      set = ps::case_closure(set);
      if (!negated && !set.ranges().empty()) {
        CodePointSet multi = set;
        multi.intersect(ps::multi_fold_sources());
        if (!multi.empty())
          return fail("case-insensitive class with a multi-character folding", open);
      }
    }
    if (negated) set = set.complement();
    return true;
  }

  // Items up to and including the closing ']'; "&&" intersects what came before
  // with the items after it.
  bool class_items(Flags f, CodePointSet& set, bool& intersected, size_t open) {
    bool first = true;
    bool pending = false;    // `prev` is a character not yet added: a range may follow
    bool after_set = false;  // the previous item was a class (a '-' after it is refused)
    uint32_t prev = 0;
    size_t count = 0;  // items at this level
    auto flush = [&] {
      if (pending) set.add(prev);
      count += pending;
      pending = false;
    };
    while (true) {
      if (at_end()) return fail("missing terminating ] for character class", p_.size());
      const size_t at = i_;
      const char c = peek();
      if (c == ']' && !first) {
        ++i_;
        flush();
        return true;
      }
      first = false;
      if (c == '&' && peek(1) == '&') {
        flush();
        i_ += 2;
        if (count == 0 || peek() == ']')
          return fail("empty operand of && in a character class", at);
        CodePointSet rest;
        if (!class_items(f, rest, intersected, open)) return false;
        set.intersect(rest);
        intersected = true;
        return true;
      }
      if (c == '-' && peek(1) == '&' && peek(2) == '&') {
        return fail("'-' before && in a character class", at);
      }
      if (c == '-' && peek(1) != ']' && (pending || after_set)) {
        if (after_set) return fail("'-' after a class in a character class", at);
        ++i_;
        uint32_t last = 0;
        if (!class_char(last)) return false;
        if (last < prev) return fail("empty range in character class", at);
        set.add(prev, last);
        pending = false;
        after_set = false;  // a '-' after a range is a literal
        ++count;
        continue;
      }
      flush();
      after_set = false;
      if (c == '[') {
        CodePointSet inner;
        const bool posix = peek(1) == ':';
        if (posix ? !posix_bracket(inner) : !bracket_class(f, inner)) return false;
        set.add(inner);
        after_set = posix;  // a '-' after a nested class is a literal
        ++count;
        continue;
      }
      if (c == '\\') {
        ++i_;
        if (at_end()) return fail("trailing backslash", at);
        bool found = false;
        CodePointSet inner;
        if (!set_escape(/*in_bracket=*/true, inner, found)) return false;
        if (found) {
          set.add(inner);
          after_set = true;
          ++count;
          continue;
        }
        i_ = at;
      }
      if (!class_char(prev)) return false;
      pending = true;
    }
  }

  // One character inside a class: a literal or a character escape (\b is backspace).
  bool class_char(uint32_t& cp) {
    const size_t at = i_;
    if (at_end()) return fail("missing terminating ] for character class", p_.size());
    if (peek() == '[') return fail("invalid range end in character class", at);
    if (peek() != '\\') return read_code_point(cp);
    ++i_;
    if (at_end()) return fail("trailing backslash", at);
    if (peek() == 'b') {
      ++i_;
      cp = 0x08;
      return true;
    }
    bool found = false;
    if (!char_escape(cp, found)) return false;
    if (found) return true;
    const auto c = static_cast<uint8_t>(peek());
    if (is_ascii_alnum(c))
      return fail("unsupported escape \\" + std::string(1, c) + " in a character class", at);
    return read_code_point(cp);
  }

  // [:name:] or [:^name:] at i_.
  bool posix_bracket(CodePointSet& set) {
    const size_t at = i_;
    const size_t close = p_.find(":]", i_ + 2);
    if (close == std::string_view::npos) return fail("invalid POSIX class", at);
    std::string_view name = p_.substr(i_ + 2, close - i_ - 2);
    const bool negate = !name.empty() && name[0] == '^';
    if (negate) name.remove_prefix(1);
    if (!ps::posix_class(name, set))
      return fail("unknown POSIX class [:" + std::string(name) + ":]", at);
    if (negate) {
      set = set.complement();
      negated_item_ = true;
    }
    i_ = close + 2;
    return true;
  }

  std::string_view p_;
  size_t i_ = 0;
  std::string error_;
  std::u32string folded_run_;
  bool group_nullable_ = false;  // of the group parse_atom read last
  bool negated_item_ = false;    // the class just read holds \W, \P{..}, [:^..:] or the like
  int negated_depth_ = 0;        // negated classes enclosing the one being read
};

}  // namespace

Result<std::string> translate_split_pattern(std::string_view pattern) {
  return Translator(pattern).run();
}

}  // namespace quorvane
