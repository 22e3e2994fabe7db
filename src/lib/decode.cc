#include "lib/decode.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "unicode/utf8.h"

namespace quorvane {
namespace {

constexpr char kReplacementChar[] = "\xEF\xBF\xBD";  // U+FFFD

// The decoder's own rules: the first token's text, byte-token runs that are not
// UTF-8, the space that joins tokens and the strip of the joined text.
std::string decode_with_rules(const Tokenizer& model, const TokenBytes& tb,
                              std::span<const uint32_t> ids) {
  const DecodeTables& d = model.decode;
  const size_t n = tb.spans.size();
  std::string out;
  uint64_t total = 0;
  for (const uint32_t id : ids) {
    if (id < n) total += tb.spans[id].len;
  }
  out.reserve(total + 16);
  bool first = true;
  size_t i = 0;
  while (i < ids.size()) {
    const uint32_t id = ids[i];
    if (id >= n) {
      ++i;
      continue;
    }
    if (!d.byte_token.empty() && d.byte_token[id] != 0) {
      // The run of byte tokens (ids without an entry do not break it).
      const size_t run_start = out.size();
      size_t count = 0;
      while (i < ids.size() && (ids[i] >= n || d.byte_token[ids[i]] != 0)) {
        if (ids[i] < n) {
          out.append(tb.bytes_of(ids[i]));
          ++count;
        }
        ++i;
      }
      if (!utf8::is_well_formed(std::string_view(out).substr(run_start))) {
        out.resize(run_start);
        for (size_t k = 0; k < count; ++k) out.append(kReplacementChar, 3);
      }
      first = false;
      continue;
    }
    if (first && !d.first.empty()) {
      auto it = d.first.find(id);
      if (it != d.first.end()) {
        out.append(it->second);
      } else {
        out.append(tb.bytes_of(id));
      }
    } else {
      out.append(tb.bytes_of(id));
    }
    first = false;
    ++i;
  }
  size_t begin = 0;
  size_t end = out.size();
  if (d.drop_first_byte && end > 0) begin = 1;
  const std::string_view c = d.strip_content;
  if (!c.empty()) {
    const std::string_view s = out;
    for (uint32_t k = 0; k < d.strip_start && s.substr(begin).starts_with(c); ++k) {
      begin += c.size();
    }
    for (uint32_t k = 0;
         k < d.strip_stop && end >= begin + c.size() && s.substr(end - c.size(), c.size()) == c;
         ++k) {
      end -= c.size();
    }
  }
  if (begin == 0 && end == out.size()) return out;
  return out.substr(begin, end - begin);
}

}  // namespace

std::string decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids) {
  std::string out;
  if (ids.empty()) return out;
  const TokenBytes& tb = model.decode.bytes ? *model.decode.bytes : model.token_bytes;
  const DecodeTables& d = model.decode;
  if (!d.first.empty() || !d.byte_token.empty() || d.drop_first_byte || !d.strip_content.empty()) {
    return decode_with_rules(model, tb, ids);
  }
  const TokenSpan* spans = tb.spans.data();
  const size_t n = tb.spans.size();
  uint64_t total = 0;
  for (const uint32_t id : ids) {
    if (id < n) total += spans[id].len;
  }
  if (total == 0) return out;
  out.resize(total);  // sized once; every byte is overwritten below
  char* dst = out.data();
  const char* arena = tb.arena.data();
  for (const uint32_t id : ids) {
    if (id >= n) continue;
    const TokenSpan s = spans[id];
    std::memcpy(dst, arena + s.offset, s.len);
    dst += s.len;
  }
  return out;
}

InternalCheck decode_bytes(const Tokenizer& model, std::span<const uint32_t> ids,
                           std::string& out) {
  try {
    out = decode_bytes(model, ids);
    return nullptr;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  } catch (const std::length_error&) {
    return kOutOfMemory;
  }
}

}  // namespace quorvane
