#include "unicode/pattern_sets.h"

#include <algorithm>
#include <map>

#include "unicode/unicode_properties.h"

namespace quorvane::pattern_sets {
namespace {

namespace up = unicode_properties;

CodePointSet from_named(const up::NamedRanges& n) { return CodePointSet::from(n.ranges, n.count); }

CodePointSet categories(uint32_t mask) {
  CodePointSet out;
  for (size_t i = 0; i < up::kGeneralCategoriesCount; ++i) {
    if ((mask >> i) & 1) out.add(from_named(up::kGeneralCategories[i]));
  }
  return out;
}

CodePointSet category(std::string_view short_name) {
  for (size_t i = 0; i < up::kGeneralCategoriesCount; ++i) {
    if (short_name == up::kGeneralCategories[i].name) return from_named(up::kGeneralCategories[i]);
  }
  return {};
}

CodePointSet binary(up::BinaryProperty p) { return from_named(up::kBinaryProperties[p]); }

CodePointSet ascii_chars(std::string_view chars) {
  CodePointSet out;
  for (const char c : chars) out.add(static_cast<unsigned char>(c));
  return out;
}

std::string loose(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == ' ' || c == '-' || c == '_') continue;
    out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return out;
}

const up::LooseAlias* find_alias(const up::LooseAlias* table, size_t count, std::string_view name) {
  const auto* end = table + count;
  const auto* it = std::lower_bound(
      table, end, name, [](const up::LooseAlias& a, std::string_view n) { return a.name < n; });
  return it != end && name == it->name ? it : nullptr;
}

// The POSIX classes by loose name; the reference's Unicode meanings.
bool posix_by_loose_name(std::string_view n, CodePointSet& out) {
  if (n == "alpha") {
    out = binary(up::kAlphabetic);
  } else if (n == "alnum") {
    out = binary(up::kAlphabetic);
    out.add(category("Nd"));
  } else if (n == "digit") {
    out = category("Nd");
  } else if (n == "upper") {
    out = binary(up::kUppercase);
  } else if (n == "lower") {
    out = binary(up::kLowercase);
  } else if (n == "punct") {
    out = category("Pc");
    for (const char* c : {"Pd", "Pe", "Pf", "Pi", "Po", "Ps", "Sc", "Sk", "Sm", "So"}) {
      out.add(category(c));
    }
  } else if (n == "space") {
    out = binary(up::kWhiteSpace);
  } else if (n == "blank") {
    out = category("Zs");
    out.add('\t');
  } else if (n == "cntrl") {
    out = category("Cc");
  } else if (n == "graph" || n == "print") {
    out = binary(up::kWhiteSpace);
    for (const char* c : {"Cc", "Cn", "Cs"}) out.add(category(c));
    out = out.complement();
    if (n == "print") out.add(category("Zs"));
  } else if (n == "xdigit") {
    out = ascii_chars("0123456789abcdefABCDEF");
  } else if (n == "word") {
    out = binary(up::kAlphabetic);
    for (const char* c : {"Mn", "Mc", "Me", "Nd", "Pc"}) out.add(category(c));
  } else if (n == "ascii") {
    out = CodePointSet::of(0, 0x7F);
  } else {
    return false;
  }
  return true;
}

struct Folding {
  std::map<uint32_t, uint32_t> fold;                 // code point -> simple fold
  std::map<uint32_t, std::vector<uint32_t>> orbits;  // fold -> all code points folding to it
  CodePointSet multi_sources;
  std::vector<std::u32string> multi_targets;
};

CodePointSet close_with(const Folding& f, const CodePointSet& set) {
  std::vector<CodePointSet::Range> added;
  for (const auto& [target, members] : f.orbits) {
    if (std::any_of(members.begin(), members.end(),
                    [&](uint32_t cp) { return set.contains(cp); })) {
      for (const uint32_t cp : members) added.push_back({cp, cp});
    }
  }
  CodePointSet out = CodePointSet::from(added.data(), added.size());
  out.add(set);
  return out;
}

const Folding& folding() {
  static const Folding f = [] {
    Folding f;
    for (size_t i = 0; i < up::kSimpleFoldCount; ++i) {
      const auto& sf = up::kSimpleFolds[i];
      f.fold[sf.from] = sf.to;
    }
    for (const auto& [from, to] : f.fold) {
      auto& orbit = f.orbits[to];
      if (orbit.empty()) orbit.push_back(to);
      orbit.push_back(from);
    }
    for (size_t i = 0; i < up::kFullFoldCount; ++i) {
      const auto& ff = up::kFullFolds[i];
      f.multi_sources.add(ff.from);
      std::u32string target;
      for (const uint32_t cp : ff.to) {
        if (cp != 0) target += static_cast<char32_t>(f.fold.count(cp) ? f.fold.at(cp) : cp);
      }
      f.multi_targets.push_back(target);
    }
    f.multi_sources = close_with(f, f.multi_sources);
    return f;
  }();
  return f;
}

}  // namespace

bool named_property(std::string_view name, bool in_bracket, CodePointSet& out) {
  const std::string n = loose(name);
  if (n == "word") {
    out = word_chars(in_bracket);
    return true;
  }
  if (n != "punct" && posix_by_loose_name(n, out)) return true;
  if (n == "any") {
    out = CodePointSet::of(0, kMaxCodePoint);
    return true;
  }
  if (n == "assigned") {
    out = category("Cn").complement();
    return true;
  }
  if (n == "alphabetic") {
    out = binary(up::kAlphabetic);
    return true;
  }
  if (n == "uppercase") {
    out = binary(up::kUppercase);
    return true;
  }
  if (n == "lowercase") {
    out = binary(up::kLowercase);
    return true;
  }
  if (n == "whitespace") {
    out = binary(up::kWhiteSpace);
    return true;
  }
  if (const auto* a = find_alias(up::kCategoryAliases, up::kCategoryAliasCount, n)) {
    out = categories(a->value);
    return true;
  }
  if (const auto* a = find_alias(up::kScriptAliases, up::kScriptAliasCount, n)) {
    out = from_named(up::kScripts[a->value]);
    return true;
  }
  return false;
}

bool posix_class(std::string_view name, CodePointSet& out) {
  for (const char c : name) {
    if (c < 'a' || c > 'z') return false;  // the reference takes only lower-case names here
  }
  return posix_by_loose_name(name, out);
}

CodePointSet word_chars(bool in_bracket) {
  CodePointSet out;
  posix_by_loose_name("word", out);
  if (!in_bracket) {
    for (const uint32_t cp : {0xB2u, 0xB3u, 0xB9u, 0xBCu, 0xBDu, 0xBEu}) out.add(cp);
  }
  return out;
}

CodePointSet digit_chars() { return category("Nd"); }
CodePointSet space_chars() { return binary(up::kWhiteSpace); }
CodePointSet hex_chars() { return ascii_chars("0123456789abcdefABCDEF"); }

CodePointSet case_closure(const CodePointSet& set) { return close_with(folding(), set); }

const CodePointSet& multi_fold_sources() { return folding().multi_sources; }
const std::vector<std::u32string>& multi_fold_targets() { return folding().multi_targets; }

uint32_t simple_fold(uint32_t cp) {
  const auto& f = folding().fold;
  const auto it = f.find(cp);
  return it == f.end() ? cp : it->second;
}

}  // namespace quorvane::pattern_sets
