#include "lib/normalize.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "unicode/normalization_tables.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

namespace nt = normalization_tables;

constexpr uint32_t kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr uint32_t kLCount = 19, kVCount = 21, kTCount = 28;
constexpr uint32_t kNCount = kVCount * kTCount, kSCount = kLCount * kNCount;

struct Form {
  uint32_t no;     // the form's quick-check No flag
  uint32_t maybe;  // its Maybe flag (0 for the decomposed forms)
  bool compat;     // compatibility decompositions apply
  bool compose;
};

constexpr Form kNfc = {nt::kNfcNo, nt::kNfcMaybe, false, true};
constexpr Form kNfd = {nt::kNfdNo, 0, false, false};
constexpr Form kNfkc = {nt::kNfkcNo, nt::kNfkcMaybe, true, true};
constexpr Form kNfkd = {nt::kNfkdNo, 0, true, false};

enum class QuickCheck { kYes, kNo, kMaybe };

// Appends to a string through a raw pointer, growing it ahead of the writes; `finish`
// cuts it to what was written.
class Output {
 public:
  Output(std::string& s, size_t expected) : s_(s) { s_.resize(expected); }

  void append(const char* p, size_t n) {
    reserve(n);
    std::memcpy(s_.data() + len_, p, n);
    len_ += n;
  }

  void put(uint32_t cp) {
    reserve(4);
    len_ += utf8::encode(cp, s_.data() + len_);
  }

  void finish() { s_.resize(len_); }

 private:
  void reserve(size_t n) {
    if (len_ + n > s_.size()) s_.resize(std::max(s_.size() * 2, len_ + n + 64));
  }

  std::string& s_;
  size_t len_ = 0;
};

// The quick check of UAX #15 (canonical ordering plus the NF*_QC property), without
// the stream-safe limit. Allocates nothing; ASCII (always Yes, class 0) is skipped
// in bulk. An ill-formed byte is passed over as an inert character. Unless the answer
// is Yes, `resume` is where building the normal form has to start: the last inert
// character before the first one that is not (what precedes it stays as it is).
template <const Form& form>
QuickCheck quick_check(std::string_view text, size_t& resume) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  // A character with none of these bits is Yes with class 0: nothing to remember.
  const uint32_t inert_mask = nt::kCccMask | form.no | form.maybe;
  uint32_t last_class = 0;
  QuickCheck result = QuickCheck::kYes;
  size_t last_inert = 0;
  bool all_inert = true;
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      i = utf8::ascii_run_end(p, i, n);
      last_inert = i - 1;
      last_class = 0;
      continue;
    }
    const auto [cp, used] = utf8::decode_well_formed(p, n, i);
    if (used == 0) {
      last_inert = i++;
      last_class = 0;
      continue;
    }
    const uint32_t info = nt::info(cp);
    if ((info & inert_mask) == 0) {
      last_inert = i;
      i += used;
      last_class = 0;
      continue;
    }
    if (all_inert) {
      all_inert = false;
      resume = last_inert;
    }
    i += used;
    const uint32_t cls = info & nt::kCccMask;
    if (cls != 0 && last_class > cls) return QuickCheck::kNo;
    if (info & form.no) return QuickCheck::kNo;
    if (info & form.maybe) result = QuickCheck::kMaybe;
    last_class = cls;
  }
  return result;
}

// The primary composite of a starter and the character after it, or 0.
uint32_t compose_pair(uint32_t first, uint32_t second) {
  if (first - kLBase < kLCount && second - kVBase < kVCount) {
    return kSBase + ((first - kLBase) * kVCount + (second - kVBase)) * kTCount;
  }
  if (first - kSBase < kSCount && (first - kSBase) % kTCount == 0 &&
      second - kTBase - 1 < kTCount - 1) {
    return first + (second - kTBase);
  }
  const uint32_t info = nt::info(first);
  if (!(info & nt::kHasExtra)) return 0;
  const nt::Extra& extra = nt::kExtras[info >> 16];
  const nt::Composition* c = nt::kCompositions + extra.compositions_offset;
  for (const nt::Composition* end = c + extra.compositions_count; c != end; ++c) {
    if (c->second >= second) return c->second == second ? c->composite : 0;
  }
  return 0;
}

// Builds the normalized form of a text. Runs of inert characters (quick-check Yes,
// class 0) are copied as they stand; the last one of a run is held back, since a mark
// after it may reorder or compose with it. Other characters are decomposed into a
// pending segment that starts where nothing before can interact with what follows (a
// starter that does not combine backwards); each segment is put in canonical order,
// composed when the form asks for it, and written out as UTF-8.
template <const Form& form_>
class Normalizer {
 public:
  explicit Normalizer(Output& out) : out_(out) {}

  // `text` up to `start` is inert and is copied unchanged.
  void run(std::string_view text, size_t start) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    const uint32_t inert_mask = nt::kCccMask | form_.no | form_.maybe;
    // text[copied, i) is not written yet; it is all inert when the segment is empty.
    size_t copied = 0;
    size_t held_at = SIZE_MAX;  // where the held back character starts, if there is one
    uint32_t held = 0;
    size_t i = start;
    while (i < n) {
      if (p[i] < 0x80) {
        const size_t end = utf8::ascii_run_end(p, i, n);
        if (!segment_.empty()) {
          flush();
          copied = i;
        }
        held_at = end - 1;
        held = p[end - 1];
        i = end;
        continue;
      }
      const auto [cp, used] = utf8::decode_well_formed(p, n, i);
      const uint32_t info = used == 0 ? 0 : nt::info(cp);
      if ((info & inert_mask) == 0) {
        if (!segment_.empty()) {
          flush();
          copied = i;
        }
        held_at = used == 0 ? SIZE_MAX : i;  // an ill-formed byte combines with nothing
        held = cp;
        i += used == 0 ? 1 : used;
        continue;
      }
      if (segment_.empty()) {
        const size_t run_end = held_at == SIZE_MAX ? i : held_at;
        out_.append(text.data() + copied, run_end - copied);
        if (held_at != SIZE_MAX) add(held, nt::info(held));
      }
      held_at = SIZE_MAX;
      add(cp, info);
      i += used;
    }
    if (segment_.empty()) {
      out_.append(text.data() + copied, n - copied);
    } else {
      flush();
    }
  }

 private:
  // Segment entries are laid out as the table's decomposition entries.
  static constexpr uint32_t kCpMask = nt::kEntryCpMask;
  static constexpr uint32_t kBack = nt::kEntryCombinesBack;

  static uint32_t entry(uint32_t cp, uint32_t info) {
    return cp | ((info & nt::kCccMask) << nt::kEntryCccShift) |
           ((info & nt::kCombinesBack) ? kBack : 0);
  }

  void add(uint32_t cp, uint32_t info) {
    if (info & nt::kHasExtra) {
      const nt::Extra& extra = nt::kExtras[info >> 16];
      const uint32_t offset = form_.compat ? extra.compat_offset : extra.canonical_offset;
      const uint32_t length = form_.compat ? extra.compat_length : extra.canonical_length;
      if (length != 0) {
        for (const uint32_t* d = nt::kDecompositions + offset;
             d != nt::kDecompositions + offset + length; ++d) {
          push(*d);
        }
        return;
      }
    } else if (!form_.compose && cp - kSBase < kSCount) {
      const uint32_t s = cp - kSBase;
      push(kLBase + s / kNCount);
      push((kVBase + (s % kNCount) / kTCount) | kBack);
      if (s % kTCount != 0) push((kTBase + s % kTCount) | kBack);
      return;
    }
    push(entry(cp, info));
  }

  void push(uint32_t e) {
    // A starter that combines with nothing before it closes the pending segment.
    if ((e >> 24) == 0 && (!form_.compose || !(e & kBack))) flush();
    segment_.push_back(e);
  }

  void flush() {
    if (segment_.empty()) return;
    if (segment_.size() > 1) {
      order();
      if (form_.compose) compose();
    }
    for (uint32_t e : segment_) out_.put(e & kCpMask);
    segment_.clear();
  }

  // Stable sort of every run of non-starters by combining class.
  void order() {
    const size_t n = segment_.size();
    size_t i = 0;
    while (i < n) {
      if ((segment_[i] >> 24) == 0) {
        ++i;
        continue;
      }
      size_t j = i + 1;
      while (j < n && (segment_[j] >> 24) != 0) ++j;
      if (j - i > 1) {
        auto by_class = [](uint32_t a, uint32_t b) { return (a >> 24) < (b >> 24); };
        if (j - i <= 32) {
          for (size_t k = i + 1; k < j; ++k) {
            const uint32_t e = segment_[k];
            size_t m = k;
            while (m > i && by_class(e, segment_[m - 1])) {
              segment_[m] = segment_[m - 1];
              --m;
            }
            segment_[m] = e;
          }
        } else {
          std::stable_sort(segment_.begin() + i, segment_.begin() + j, by_class);
        }
      }
      i = j;
    }
  }

  // Canonical composition: each character that is not blocked from the last starter
  // and forms a primary composite with it replaces that starter.
  void compose() {
    const size_t n = segment_.size();
    size_t starter = SIZE_MAX;
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t e = segment_[i];
      const uint32_t cls = e >> 24;
      if (starter != SIZE_MAX && (e & kBack)) {
        // Kept characters after the starter are non-starters in canonical order, so
        // the last one has the highest class among them.
        const bool adjacent = kept == starter + 1;
        if (adjacent || (segment_[kept - 1] >> 24) < cls) {
          const uint32_t composite = compose_pair(segment_[starter] & kCpMask, e & kCpMask);
          if (composite != 0) {
            segment_[starter] =
                composite;  // composites are starters that combine with nothing before
            continue;
          }
        }
      }
      segment_[kept++] = e;
      if (cls == 0) starter = kept - 1;
    }
    segment_.resize(kept);
  }

  Output& out_;
  std::vector<uint32_t> segment_;
};

template <const Form& form>
void normalize_as(std::string_view text, NormalizedText& out) {
  size_t resume = 0;
  if (quick_check<form>(text, resume) == QuickCheck::kYes) return;
  Output writer(out.owned, text.size() + text.size() / 4 + 16);
  Normalizer<form>(writer).run(text, resume);
  writer.finish();
  out.text = out.owned;
  out.is_copy = true;
}

}  // namespace

void normalize_text(NormalizerKind kind, std::string_view text, NormalizedText& out) {
  out.owned.clear();
  out.text = text;
  out.is_copy = false;
  if (text.empty()) return;
  switch (kind) {
    case kNormNFC:
      return normalize_as<kNfc>(text, out);
    case kNormNFD:
      return normalize_as<kNfd>(text, out);
    case kNormNFKC:
      return normalize_as<kNfkc>(text, out);
    case kNormNFKD:
      return normalize_as<kNfkd>(text, out);
    default:
      return;
  }
}

}  // namespace quorvane
