// Unicode normalization of the text before it is encoded: NFC, NFD, NFKC and NFKD
// over the Unicode 15.0 tables in unicode/normalization_tables.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

// 0 none, 1 NFC, 2 NFD, 3 NFKC, 4 NFKD; any other value acts as 0.
using NormalizerKind = uint8_t;
inline constexpr NormalizerKind kNormNone = 0;
inline constexpr NormalizerKind kNormNFC = 1;
inline constexpr NormalizerKind kNormNFD = 2;
inline constexpr NormalizerKind kNormNFKC = 3;
inline constexpr NormalizerKind kNormNFKD = 4;

// The text to encode: either a view of the input (nothing allocated) or a view
// of `owned`, a new string.
struct NormalizedText {
  std::string owned;
  std::string_view text;
  bool is_copy = false;
};

// Hands back the input itself when the quick check answers Yes (all ASCII texts
// among them); otherwise a new normalized string.
void normalize_text(NormalizerKind kind, std::string_view text, NormalizedText& out);

}  // namespace quorvane
