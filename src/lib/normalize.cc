#include "lib/normalize.h"

#include <array>
#include <cstring>

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf8.h>

namespace quorvane {
namespace {

enum class QuickCheck { kYes, kNo, kMaybe };

// Index of the first byte at or after `i` with the high bit set, or `n`.
size_t skip_ascii(const uint8_t* p, size_t i, size_t n) {
  while (i + 8 <= n) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ULL) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

// Per form, one bit per BMP code point: quick-check Yes and combining class 0,
// which leaves the check's state as after any starter. Filled once on first use,
// so that common scripts cost a bit test instead of two property lookups.
using InertBits = std::array<uint64_t, 1024>;

InertBits make_inert_bits(UProperty qc_property) {
  InertBits bits{};
  for (UChar32 c = 0; c < 0x10000; ++c) {
    if (u_getCombiningClass(c) == 0 && u_getIntPropertyValue(c, qc_property) == UNORM_YES) {
      bits[c >> 6] |= uint64_t{1} << (c & 63);
    }
  }
  return bits;
}

const InertBits& inert_bits(UProperty qc_property) {
  switch (qc_property) {
    case UCHAR_NFC_QUICK_CHECK: {
      static const InertBits nfc = make_inert_bits(UCHAR_NFC_QUICK_CHECK);
      return nfc;
    }
    case UCHAR_NFD_QUICK_CHECK: {
      static const InertBits nfd = make_inert_bits(UCHAR_NFD_QUICK_CHECK);
      return nfd;
    }
    case UCHAR_NFKC_QUICK_CHECK: {
      static const InertBits nfkc = make_inert_bits(UCHAR_NFKC_QUICK_CHECK);
      return nfkc;
    }
    default: {
      static const InertBits nfkd = make_inert_bits(UCHAR_NFKD_QUICK_CHECK);
      return nfkd;
    }
  }
}

// The quick check of UAX #15 (canonical ordering plus the NF*_QC property), without
// the stream-safe limit. Allocates nothing; ASCII (always Yes, class 0) is skipped
// in bulk. An ill-formed byte is passed over as an inert character.
QuickCheck quick_check(UProperty qc_property, std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  uint8_t last_class = 0;
  QuickCheck result = QuickCheck::kYes;
  const InertBits& inert = inert_bits(qc_property);
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      i = skip_ascii(p, i, n);
      last_class = 0;
      continue;
    }
    UChar32 c;
    int32_t used = 0;
    const int32_t window = static_cast<int32_t>(n - i < 4 ? n - i : 4);
    U8_NEXT(p + i, used, window, c);
    i += static_cast<size_t>(used);
    if (c < 0 || (c < 0x10000 && (inert[c >> 6] >> (c & 63)) & 1)) {
      last_class = 0;
      continue;
    }
    const uint8_t cls = u_getCombiningClass(c);
    if (cls != 0 && last_class > cls) return QuickCheck::kNo;
    switch (u_getIntPropertyValue(c, qc_property)) {
      case UNORM_NO:
        return QuickCheck::kNo;
      case UNORM_MAYBE:
        result = QuickCheck::kMaybe;
        break;
      default:
        break;
    }
    last_class = cls;
  }
  return result;
}

const icu::Normalizer2* instance(NormalizerKind kind) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* norm = nullptr;
  switch (kind) {
    case kNormNFC:
      norm = icu::Normalizer2::getNFCInstance(status);
      break;
    case kNormNFD:
      norm = icu::Normalizer2::getNFDInstance(status);
      break;
    case kNormNFKC:
      norm = icu::Normalizer2::getNFKCInstance(status);
      break;
    case kNormNFKD:
      norm = icu::Normalizer2::getNFKDInstance(status);
      break;
    default:
      return nullptr;
  }
  return U_SUCCESS(status) ? norm : nullptr;
}

// A cut point at or before `limit` (and well after the chunk start) in front of a
// character that has a normalization boundary before it.
size_t chunk_end(const icu::Normalizer2& norm, std::string_view text, size_t limit) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t floor = limit - (size_t{1} << 20);
  for (size_t i = limit; i > floor; --i) {
    if ((p[i] & 0xC0) == 0x80) continue;  // not a character start
    if (p[i] < 0x80) return i;
    UChar32 c;
    int32_t used = 0;
    const int32_t window = static_cast<int32_t>(text.size() - i < 4 ? text.size() - i : 4);
    U8_NEXT(p + i, used, window, c);
    if (c >= 0 && norm.hasBoundaryBefore(c)) return i;
  }
  return limit;  // a megabyte without a boundary: no real text has one
}

}  // namespace

void normalize_text(NormalizerKind kind, std::string_view text, NormalizedText& out) {
  out.owned.clear();
  out.text = text;
  out.is_copy = false;
  if (text.empty()) return;

  UProperty qc_property;
  switch (kind) {
    case kNormNFC:
      qc_property = UCHAR_NFC_QUICK_CHECK;
      break;
    case kNormNFD:
      qc_property = UCHAR_NFD_QUICK_CHECK;
      break;
    case kNormNFKC:
      qc_property = UCHAR_NFKC_QUICK_CHECK;
      break;
    case kNormNFKD:
      qc_property = UCHAR_NFKD_QUICK_CHECK;
      break;
    default:
      return;
  }
  if (quick_check(qc_property, text) == QuickCheck::kYes) return;

  // No or Maybe: build the normalized form. ICU's data are always present in the
  // system library, so the instance cannot be missing; if it ever were, the text
  // stays as given rather than being lost.
  const icu::Normalizer2* norm = instance(kind);
  if (norm == nullptr) return;
  out.owned.reserve(text.size() + text.size() / 4 + 8);
  icu::StringByteSink<std::string> sink(&out.owned);
  // ICU takes 32-bit lengths: normalize huge texts in chunks cut before a character
  // that starts a normalization segment, so no segment straddles two chunks.
  constexpr size_t kChunk = size_t{1} << 30;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.size();
    if (end - begin > kChunk) end = chunk_end(*norm, text, begin + kChunk);
    UErrorCode status = U_ZERO_ERROR;
    norm->normalizeUTF8(0, icu::StringPiece(text.data() + begin, static_cast<int32_t>(end - begin)),
                        sink, nullptr, status);
    if (U_FAILURE(status)) {
      out.owned.clear();
      return;
    }
    begin = end;
  }
  out.text = out.owned;
  out.is_copy = true;
}

}  // namespace quorvane
