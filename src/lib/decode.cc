#include "lib/decode.h"

#include <cstring>

namespace quorvane {

std::string decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids) {
  std::string out;
  if (ids.empty()) return out;
  const TokenSpan* spans = model.token_bytes.spans.data();
  const size_t n = model.token_bytes.spans.size();
  uint64_t total = 0;
  for (const uint32_t id : ids) {
    if (id < n) total += spans[id].len;
  }
  if (total == 0) return out;
  out.resize(total);  // sized once; every byte is overwritten below
  char* dst = out.data();
  const char* arena = model.token_bytes.arena.data();
  for (const uint32_t id : ids) {
    if (id >= n) continue;
    const TokenSpan s = spans[id];
    std::memcpy(dst, arena + s.offset, s.len);
    dst += s.len;
  }
  return out;
}

}  // namespace quorvane
