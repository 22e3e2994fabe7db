// Unicode 15.0 sets named by split patterns (generated into unicode_properties.cc).
//
//   kGeneralCategories   one range list per General_Category value (30, Cn included)
//   kScripts             one range list per Script value (Unknown included)
//   kBinaryProperties    White_Space, Alphabetic, Uppercase, Lowercase, in that order
//   kCategoryAliases     loose name -> mask over kGeneralCategories (bit i = entry i)
//   kScriptAliases       loose name -> index into kScripts
//   kSimpleFolds         simple case folding (statuses C and S): code point -> fold
//   kFullFolds           full case folding to two or three code points (status F)
// Loose names are lower case without spaces, '-' or '_'; alias tables are sorted by name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "unicode/unicode_tables.h"

namespace quorvane::unicode_properties {

using unicode_tables::CodeRange;

struct NamedRanges {
  const char* name;
  const CodeRange* ranges;
  size_t count;
};

struct LooseAlias {
  const char* name;
  uint32_t value;
};

struct SimpleFold {
  uint32_t from;
  uint32_t to;
};

struct FullFold {
  uint32_t from;
  uint32_t to[3];  // unused trailing entries are 0
};

enum BinaryProperty : size_t { kWhiteSpace, kAlphabetic, kUppercase, kLowercase };

extern const NamedRanges kGeneralCategories[];
extern const size_t kGeneralCategoriesCount;
extern const NamedRanges kScripts[];
extern const size_t kScriptsCount;
extern const NamedRanges kBinaryProperties[];
extern const size_t kBinaryPropertiesCount;
extern const LooseAlias kCategoryAliases[];
extern const size_t kCategoryAliasCount;
extern const LooseAlias kScriptAliases[];
extern const size_t kScriptAliasCount;
extern const SimpleFold kSimpleFolds[];
extern const size_t kSimpleFoldCount;
extern const FullFold kFullFolds[];
extern const size_t kFullFoldCount;

}  // namespace quorvane::unicode_properties
