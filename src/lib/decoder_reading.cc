#include "lib/decoder_reading.h"

#include <string_view>

#include "lib/config_reading.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";  // U+FFFD

// A string of exactly one character.
bool is_one_char(const JsonValue* v) {
  return v != nullptr && v->IsString() && v->GetStringLength() > 0 &&
         utf8::decode_or_byte(json_string(*v), 0).len == v->GetStringLength();
}

bool read_count(const JsonValue* v, uint32_t& out) {
  if (v == nullptr || !v->IsUint()) return false;
  out = v->GetUint();
  return true;
}

enum class Phase : uint8_t { kPerToken, kAfterByteFallback, kJoined };

Result<Unit> read_stage(const JsonValue& d, Phase& phase, DecoderPlan& plan) {
  if (json_type_is(&d, "Sequence")) {
    const JsonValue* list = json_find(&d, "decoders");
    if (list == nullptr || !list->IsArray()) {
      return unsupported_setting("decoder Sequence", "decoders", list);
    }
    for (const JsonValue& member : json_elements(list)) {
      if (auto ok = read_stage(member, phase, plan); !ok) return ok;
    }
    return Unit{};
  }
  const JsonValue* type = json_find(&d, "type");
  if (json_type_is(&d, "Fuse")) {
    phase = Phase::kJoined;
    return Unit{};
  }
  if (json_type_is(&d, "Strip")) {
    const JsonValue* content = json_find(&d, "content");
    DecoderStage s{DecoderStage::kStrip};
    if (!is_one_char(content) || json_string(*content) == kReplacementChar) {
      return unsupported_setting("decoder Strip", "content", content);
    }
    if (!read_count(json_find(&d, "start"), s.start)) {
      return unsupported_setting("decoder Strip", "start", json_find(&d, "start"));
    }
    if (!read_count(json_find(&d, "stop"), s.stop)) {
      return unsupported_setting("decoder Strip", "stop", json_find(&d, "stop"));
    }
    s.from = std::string(json_string(*content));
    if (phase == Phase::kPerToken) {
      plan.per_token.push_back(std::move(s));
    } else if (phase == Phase::kJoined && plan.strip_content.empty()) {
      plan.strip_content = std::move(s.from);
      plan.strip_start = s.start;
      plan.strip_stop = s.stop;
    } else {
      return unsupported_setting("decoder", "type", type);
    }
    return Unit{};
  }
  if (phase != Phase::kPerToken) {
    // ByteFallback groups byte tokens and a join makes one text: what comes after
    // would see other tokens than these per-id tables hold.
    return unsupported_setting("decoder", "type", type);
  }
  if (json_type_is(&d, "Replace")) {
    const JsonValue* pattern = json_find(&d, "pattern");
    const JsonValue* from = json_find(pattern, "String");
    const JsonValue* to = json_find(&d, "content");
    if (from == nullptr || !from->IsString() || from->GetStringLength() == 0) {
      return unsupported_setting("decoder Replace", "pattern", pattern);
    }
    if (to == nullptr || !to->IsString()) {
      return unsupported_setting("decoder Replace", "content", to);
    }
    DecoderStage s{DecoderStage::kReplace};
    s.from = std::string(json_string(*from));
    s.to = std::string(json_string(*to));
    plan.per_token.push_back(std::move(s));
    return Unit{};
  }
  if (json_type_is(&d, "Metaspace")) {
    const JsonValue* replacement = json_find(&d, "replacement");
    if (!is_one_char(replacement)) {
      return unsupported_setting("decoder Metaspace", "replacement", replacement);
    }
    DecoderStage s{DecoderStage::kMetaspace};
    s.from = std::string(json_string(*replacement));
    const JsonValue* scheme = json_find(&d, "prepend_scheme");
    if (scheme == nullptr) {
      s.drop_first = json_true_unless_false(json_find(&d, "add_prefix_space"));
    } else if (json_string_is(scheme, "always") || json_string_is(scheme, "first")) {
      s.drop_first = true;
    } else if (!json_string_is(scheme, "never")) {
      return unsupported_setting("decoder Metaspace", "prepend_scheme", scheme);
    }
    plan.per_token.push_back(std::move(s));
    return Unit{};
  }
  if (json_type_is(&d, "ByteFallback")) {
    plan.byte_fallback = true;
    phase = Phase::kAfterByteFallback;
    return Unit{};
  }
  if (json_type_is(&d, "ByteLevel") && !plan.byte_fallback) {
    plan.byte_level = true;
    phase = Phase::kJoined;
    return Unit{};
  }
  return unsupported_setting("decoder", "type", type);
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
  if (s.find(from) == std::string::npos) return;
  std::string out;
  size_t i = 0;
  for (size_t hit; (hit = s.find(from, i)) != std::string::npos; i = hit + from.size()) {
    out.append(s, i, hit - i);
    out.append(to);
  }
  out.append(s, i, std::string::npos);
  s.swap(out);
}

// Up to `start` leading and `stop` trailing copies of the character `c`.
void strip_char(std::string& s, std::string_view c, uint32_t start, uint32_t stop) {
  size_t begin = 0;
  for (uint32_t i = 0; i < start && s.compare(begin, c.size(), c) == 0; ++i) begin += c.size();
  size_t end = s.size();
  for (uint32_t i = 0;
       i < stop && end >= begin + c.size() && s.compare(end - c.size(), c.size(), c) == 0; ++i) {
    end -= c.size();
  }
  s = s.substr(begin, end - begin);
}

// The ByteLevel decoder maps a token's characters back to bytes only when every
// one of them is in its alphabet; any other token is kept as it stands.
void byte_level_token_bytes(std::string_view text, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    const auto [cp, len] = utf8::decode_or_byte(text, i);
    const int b = byte_level_byte(cp);
    if (b < 0) {
      out.assign(text);
      return;
    }
    out.push_back(static_cast<char>(b));
    i += len;
  }
}

}  // namespace

Result<DecoderPlan> read_decoder(const JsonValue& root) {
  DecoderPlan plan;
  const JsonValue* d = json_find(&root, "decoder");
  if (d == nullptr || d->IsNull()) {
    plan.join_with_spaces = true;
    return plan;
  }
  Phase phase = Phase::kPerToken;
  if (auto ok = read_stage(*d, phase, plan); !ok) return Error{ok.error()};
  return plan;
}

void decode_token_text(const DecoderPlan& plan, std::string_view text, bool first, bool& is_byte,
                       std::string& out) {
  // What the per-token stages leave becomes a byte, ByteLevel bytes, or text as it stands.
  auto finish = [&](std::string_view t) {
    uint8_t byte;
    is_byte = plan.byte_fallback && parse_byte_token(t, byte);
    if (is_byte) {
      out.assign(1, static_cast<char>(byte));
    } else if (plan.byte_level) {
      byte_level_token_bytes(t, out);
    } else {
      out.assign(plan.join_with_spaces ? " " : "");
      out.append(t);
    }
  };
  // The common plans (ByteLevel alone, ByteFallback of untouched texts) need no copy.
  if (plan.per_token.empty()) return finish(text);
  std::string s(text);
  for (const DecoderStage& st : plan.per_token) {
    switch (st.kind) {
      case DecoderStage::kReplace:
        replace_all(s, st.from, st.to);
        break;
      case DecoderStage::kStrip:
        strip_char(s, st.from, st.start, st.stop);
        break;
      case DecoderStage::kMetaspace:
        replace_all(s, st.from, first && st.drop_first ? "" : " ");
        break;
    }
  }
  finish(s);
}

void build_decode_tables(const DecoderPlan& plan, const JsonValue* vocab, const VocabBuild& vb,
                         Tokenizer& model) {
  DecodeTables& t = model.decode;
  t = DecodeTables{};
  t.drop_first_byte = plan.join_with_spaces;
  t.strip_content = plan.strip_content;
  t.strip_start = plan.strip_start;
  t.strip_stop = plan.strip_stop;
  if (plan.byte_fallback) t.byte_token.assign(vb.n_vocab, 0);
  bool has_first_rule = false;
  for (const DecoderStage& st : plan.per_token) has_first_rule |= st.drop_first;

  // Each id's text; ids without a "vocab" text keep their token bytes.
  std::vector<std::string> texts;
  bool differs = false;
  std::vector<uint8_t> named(vb.n_vocab, 0);
  // A text given twice keeps its last id; the earlier entry names nothing.
  const bool repeated_text = vb.index.size() != vocab->MemberCount();
  std::string decoded;
  std::string first;
  for (const auto& m : vocab->GetObject()) {
    if (!m.value.IsUint64() || m.value.GetUint64() >= vb.n_vocab) continue;
    const auto id = static_cast<uint32_t>(m.value.GetUint64());
    const std::string_view text = json_string(m.name);
    if (repeated_text) {
      auto it = vb.index.find(text);
      if (it == vb.index.end() || it->second != id) continue;
    }
    bool is_byte = false;
    decode_token_text(plan, text, false, is_byte, decoded);
    if (is_byte) t.byte_token[id] = 1;
    if (has_first_rule) {
      bool first_is_byte = false;
      decode_token_text(plan, text, true, first_is_byte, first);
      if (first != decoded) t.first.emplace(id, first);
    }
    if (!differs && decoded != vb.bytes_of(id)) {
      differs = true;
      texts.resize(vb.n_vocab);
      for (uint64_t i = 0; i < vb.n_vocab; ++i) {
        if (named[i]) texts[i] = std::string(vb.bytes_of(i));
      }
    }
    named[id] = 1;
    if (differs) texts[id] = decoded;
  }
  if (!differs) return;
  TokenBytes& tb = t.bytes.emplace();
  tb.spans.reserve(vb.n_vocab);
  for (uint64_t id = 0; id < vb.n_vocab; ++id) {
    const std::string_view s = named[id] ? std::string_view(texts[id]) : vb.bytes_of(id);
    tb.spans.push_back(
        TokenSpan{static_cast<uint32_t>(tb.arena.size()), static_cast<uint32_t>(s.size())});
    tb.arena.append(s);
  }
}

}  // namespace quorvane
