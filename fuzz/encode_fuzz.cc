// Encodes fuzz-chosen text with every small model and checks what must hold:
// the merge strategies agree on monotonic tables, a fast scanner cuts exactly
// the pieces its pattern cuts, and offsets agree with ordinary encoding.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_models.h"
#include "lib/encode.h"
#include "lib/offsets.h"
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
    size_t e = next_piece_end(fm.model->scanner, bytes, text.size(), p);
    if (e <= p || e > text.size()) fail("scanner did not advance", text);
    got.push_back({p, e});
    p = e;
  }
  if (text.empty()) want.clear();
  if (got != want) fail(fm.name, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto& models = fuzz::fuzz_models();
  const fuzz::FuzzModel& fm = models[data[0] % models.size()];
  const Tokenizer& m = *fm.model;
  std::string text = fuzz::text_from_bytes(data + 1, size - 1);

  std::vector<uint32_t> automatic = encode(m, text, kMergeAuto);
  if (m.monotonic && !m.byte_fallback) {
    if (encode(m, text, kMergeStream) != automatic) fail("stream differs", text);
    if (encode(m, text, kMergeScan) != automatic) fail("scan differs", text);
  }
  std::vector<uint32_t> no_prefix = encode(m, text, kMergeAuto, false);
  if (m.metaspace_mode <= 1 && no_prefix != automatic) fail("prefix flag leaked", text);

  check_scanner_against_pattern(fm, text);

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
