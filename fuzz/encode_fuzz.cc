// Encodes fuzz-chosen text with every small model and checks what must hold:
// the merge strategies agree on monotonic tables, a fast scanner cuts exactly
// the pieces its pattern cuts, offsets agree with ordinary encoding, and the
// special-aware encoder agrees with a naive search that encodes each gap.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_models.h"
#include "lib/encode.h"
#include "lib/offsets.h"
#include "lib/special_tokens.h"
#include "lib/split_regex.h"
#include "pretok/scanner.h"

using namespace quorvane;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  fprintf(stderr, "%s on text (%zu bytes):", what, text.size());
  for (unsigned char c : text) fprintf(stderr, " %02x", c);
  fprintf(stderr, "\n");
  abort();
}

std::vector<uint32_t> encode(const Tokenizer& m, const std::string& text, MergeStrategy s,
                             bool prefix = true) {
  std::vector<uint32_t> ids;
  if (InternalCheck err = encode_text(m, text, s, prefix, ids)) fail(err, text);
  return ids;
}

void check_scanner_against_pattern(const fuzz::FuzzModel& fm, const std::string& text) {
  if (fm.pattern.empty()) return;
  const auto* scanned = std::get_if<ScannedPieces>(&fm.model->pre_tokenizer);
  if (scanned == nullptr) fail("the pattern got no scanner", fm.pattern);
  static thread_local std::vector<std::vector<SplitRegex>> compiled;
  auto& models = fuzz::fuzz_models();
  if (compiled.empty()) {
    for (auto& m : models) {
      std::vector<SplitRegex> one;
      if (!m.pattern.empty()) {
        auto r = SplitRegex::compile(m.pattern);
        if (!r.ok()) fail(r.error().c_str(), m.pattern);
        one.push_back(std::move(r).value());
      }
      compiled.push_back(std::move(one));
    }
  }
  size_t index = &fm - models.data();
  std::vector<Span> want = regex_pieces(compiled[index], text);
  std::vector<Span> got;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t p = 0; p < text.size();) {
    size_t e = next_piece_end(scanned->spec, bytes, text.size(), p);
    if (e <= p || e > text.size()) fail("scanner did not advance", text);
    got.push_back({p, e});
    p = e;
  }
  if (text.empty()) want.clear();
  if (got != want) fail(fm.name, text);
}

// Contents made of alphabet characters, so that fuzz texts contain them.
struct SpecialSpec {
  const char* content;
  uint32_t id;
  bool lstrip;
  bool rstrip;
};
constexpr SpecialSpec kSpecials[] = {{"ab", 90001, false, false},
                                     {"abe", 90002, true, false},
                                     {" t", 90003, false, true},
                                     {"\n\n", 90004, true, true},
                                     {"\xe4\xb8\xad", 90005, false, false},
                                     {"12", 90006, false, true},
                                     {"\xc3\xa9 ", 90007, true, false},
                                     {"\t", 90008, true, true}};

// Registers kSpecials on every model once, with prefix scheme = model index % 3.
void register_specials() {
  static bool done = [] {
    auto& models = fuzz::fuzz_models();
    for (size_t i = 0; i < models.size(); ++i) {
      std::vector<std::string> contents;
      std::vector<uint32_t> ids;
      std::vector<uint8_t> lstrip, rstrip;
      for (const SpecialSpec& s : kSpecials) {
        contents.push_back(s.content);
        ids.push_back(s.id);
        lstrip.push_back(s.lstrip);
        rstrip.push_back(s.rstrip);
      }
      auto built = build_special_matcher(*models[i].model, std::move(contents), std::move(ids),
                                         std::move(lstrip), std::move(rstrip),
                                         static_cast<PrefixScheme>(i % 3));
      if (!built.ok()) abort();
    }
    return true;
  }();
  (void)done;
}

// The White_Space characters, spelled out so the oracle shares nothing with the matcher.
constexpr std::string_view kWhiteSpace[] = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};

size_t space_after(std::string_view text, size_t pos) {
  for (std::string_view w : kWhiteSpace)
    if (text.substr(pos).starts_with(w)) return w.size();
  return 0;
}

size_t space_before(std::string_view text, size_t floor, size_t pos) {
  for (std::string_view w : kWhiteSpace)
    if (pos - floor >= w.size() && text.substr(0, pos).ends_with(w)) return w.size();
  return 0;
}

// Leftmost, then longest, by brute force over kSpecials.
bool naive_special(std::string_view text, size_t from, size_t& index, size_t& start) {
  for (size_t s = from; s < text.size(); ++s) {
    size_t best_len = 0;
    for (size_t i = 0; i < std::size(kSpecials); ++i) {
      std::string_view c = kSpecials[i].content;
      if (c.size() > best_len && text.substr(s, c.size()) == c) {
        best_len = c.size();
        index = i;
      }
    }
    if (best_len) {
      start = s;
      return true;
    }
  }
  return false;
}

std::vector<uint32_t> naive_encode_with_specials(const Tokenizer& m, std::string_view text) {
  std::vector<uint32_t> out;
  const bool first_only = m.prefix_scheme == PrefixScheme::kFirst;
  size_t last = 0, from = 0, index = 0, start = 0;
  auto gap = [&](size_t a, size_t b) {
    std::vector<uint32_t> ids =
        encode(m, std::string(text.substr(a, b - a)), MergeStrategy::kAuto, !(first_only && a > 0));
    out.insert(out.end(), ids.begin(), ids.end());
  };
  while (from < text.size() && naive_special(text, from, index, start)) {
    const SpecialSpec& sp = kSpecials[index];
    size_t end = start + std::string_view(sp.content).size();
    size_t gap_end = start;
    if (sp.lstrip) {
      while (gap_end > last)
        if (size_t w = space_before(text, last, gap_end))
          gap_end -= w;
        else
          break;
    }
    size_t next = end;
    if (sp.rstrip) {
      while (size_t w = space_after(text, next)) next += w;
    }
    if (gap_end > last) gap(last, gap_end);
    // Only what a match covers is consumed: a match inside whitespace that an
    // earlier rstrip passed over re-encodes what follows it, and with lstrip a
    // match ending inside that whitespace goes with it.
    if (!sp.lstrip || next > last) out.push_back(sp.id);
    last = next;
    from = end;
  }
  if (last < text.size()) gap(last, text.size());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto& models = fuzz::fuzz_models();
  const fuzz::FuzzModel& fm = models[data[0] % models.size()];
  const Tokenizer& m = *fm.model;
  std::string text = fuzz::text_from_bytes(data + 1, size - 1);

  std::vector<uint32_t> automatic = encode(m, text, MergeStrategy::kAuto);
  if (m.monotonic && !m.byte_fallback) {
    if (encode(m, text, MergeStrategy::kStream) != automatic) fail("stream differs", text);
    if (encode(m, text, MergeStrategy::kScan) != automatic) fail("scan differs", text);
  }
  std::vector<uint32_t> no_prefix = encode(m, text, MergeStrategy::kAuto, false);
  const auto* words = std::get_if<MetaspaceWords>(&m.pre_tokenizer);
  const bool prefix_off = words == nullptr || words->mode == MetaspaceMode::kReplace;
  if (prefix_off && no_prefix != automatic) fail("prefix flag leaked", text);

  check_scanner_against_pattern(fm, text);

  register_specials();
  std::vector<uint32_t> special;
  if (InternalCheck err = encode_with_specials(m, text, special)) fail(err, text);
  if (special != naive_encode_with_specials(m, text)) fail("specials differ", text);

  if (!offsets_refusal(m, text)) {
    std::vector<uint32_t> ids;
    std::vector<Span> spans;
    if (InternalCheck err = encode_with_offsets(m, text, ids, spans)) fail(err, text);
    if (ids != automatic) fail("offsets ids differ", text);
    uint64_t last = 0;
    for (const Span& s : spans) {
      if (s.start < last || s.end <= s.start || s.end > text.size()) fail("bad span", text);
      last = s.end;
    }
  }
  return 0;
}
