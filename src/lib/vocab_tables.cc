#include "lib/vocab_tables.h"

#include <unistd.h>

#include <array>
#include <cstring>

#include "lib/quoted.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

constexpr std::string_view kMetaspace = "\xE2\x96\x81";  // U+2581

// Byte-value <-> character pairs of the ByteLevel alphabet.
struct ByteLevelAlphabet {
  std::array<uint32_t, 256> char_of{};
  std::array<int16_t, 0x144> byte_of{};  // every table character is below U+0144

  ByteLevelAlphabet() {
    byte_of.fill(-1);
    uint32_t next = 0x100;
    for (int b = 0; b < 256; ++b) {
      const bool same = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
      char_of[b] = same ? static_cast<uint32_t>(b) : next++;
      byte_of[char_of[b]] = static_cast<int16_t>(b);
    }
  }
};

const ByteLevelAlphabet& alphabet() {
  static const ByteLevelAlphabet a;
  return a;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint64_t id_of(const JsonValue& v) { return v.IsUint64() ? v.GetUint64() : 0; }

// Refuses a vocabulary whose per-id tables could never fit in this machine's
// memory, instead of letting the allocation take the process down.
// Per-id tables are sized by the highest id, so a few tokens with a huge id
// would make a tiny file allocate gigabytes. Ids may leave gaps, but not many:
// beyond 2^22 ids the vocabulary must name at least a quarter of them.
constexpr uint64_t kDenseVocabFloor = uint64_t{1} << 22;

Result<Unit> check_table_size(uint64_t n_vocab, uint64_t entries) {
  if (n_vocab > std::max(kDenseVocabFloor, 4 * entries)) {
    return Error{"vocabulary ids reach " + std::to_string(n_vocab - 1) + " but only " +
                 std::to_string(entries) +
                 " tokens are given (a vocabulary this sparse is refused)"};
  }
  // Load-time and stored per-id tables together take about this much per id.
  constexpr uint64_t kBytesPerId = 40;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return Unit{};
  const uint64_t memory = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
  if (n_vocab > memory / kBytesPerId) {
    return Error{"vocabulary of " + std::to_string(n_vocab) +
                 " ids is too large for this machine's memory"};
  }
  return Unit{};
}

}  // namespace

uint32_t byte_level_char(uint8_t b) { return alphabet().char_of[b]; }

int byte_level_byte(uint32_t cp) { return cp < 0x144 ? alphabet().byte_of[cp] : -1; }

bool parse_byte_token(std::string_view t, uint8_t& byte) {
  if (t.size() != 6 || t.substr(0, 3) != "<0x" || t[5] != '>') return false;
  int hi;
  int lo;
  if (t[3] == '+') {
    hi = 0;
    lo = hex_value(t[4]);
  } else {
    hi = hex_value(t[3]);
    lo = hex_value(t[4]);
  }
  if (hi < 0 || lo < 0) return false;
  byte = static_cast<uint8_t>(hi * 16 + lo);
  return true;
}

bool decode_byte_level_text(std::string_view text, std::string& out) {
  bool alphabet_only = true;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    if (c < 0x80) {  // ASCII characters stand for themselves, in or out of the table
      out.push_back(static_cast<char>(c));
      alphabet_only &= c >= 0x21 && c <= 0x7E;
      ++i;
      continue;
    }
    const auto [cp, len] = utf8::decode_or_byte(text, i);
    const int b = byte_level_byte(cp);
    if (b >= 0) {
      out.push_back(static_cast<char>(b));
    } else {
      out.append(text.substr(i, len));
      alphabet_only = false;
    }
    i += len;
  }
  return alphabet_only;
}

void decode_metaspace_text(std::string_view text, std::string& out) {
  size_t i = 0;
  for (size_t hit; (hit = text.find(kMetaspace, i)) != std::string_view::npos;
       i = hit + kMetaspace.size()) {
    out.append(text.substr(i, hit - i));
    out.push_back(' ');
  }
  out.append(text.substr(i));
}

Result<Unit> read_vocabulary(const JsonValue* model, const JsonValue* added_tokens,
                             bool byte_fallback, VocabBuild& vb, Tokenizer& out) {
  const JsonValue* vocab = json_find(model, "vocab");
  if (vocab == nullptr || !vocab->IsObject()) return Error{"no vocab"};

  // "vocab": the index (a repeated text keeps its last id) and the highest id.
  vb.index.reserve(vocab->MemberCount());
  uint64_t highest = 0;
  bool repeated_text = false;
  for (const auto& m : vocab->GetObject()) {
    const uint64_t id = id_of(m.value);
    if (id >= kIdLimit) {
      return Error{"vocab id " + std::to_string(id) + " is out of range (ids must be below 2^31)"};
    }
    auto [it, fresh] = vb.index.try_emplace(json_string(m.name), static_cast<uint32_t>(id));
    if (!fresh) {
      it->second = static_cast<uint32_t>(id);
      repeated_text = true;
    }
    if (id > highest) highest = id;
  }
  if (repeated_text) {
    highest = 0;
    for (const auto& [text, id] : vb.index) highest = std::max<uint64_t>(highest, id);
  }

  // n_vocab: also raised by every added token with a usable id, content or not.
  uint64_t n_vocab = highest + 1;
  const auto added = json_elements(added_tokens);
  for (const JsonValue& token : added) {
    const JsonValue* id = json_find(&token, "id");
    if (id == nullptr || !id->IsUint64()) continue;
    if (id->GetUint64() >= kIdLimit) {
      return Error{"added_tokens id " + std::to_string(id->GetUint64()) +
                   " is out of range (ids must be below 2^31)"};
    }
    n_vocab = std::max(n_vocab, id->GetUint64() + 1);
  }
  if (auto fits = check_table_size(n_vocab, vocab->MemberCount() + added.size()); !fits) {
    return fits;
  }
  vb.n_vocab = n_vocab;
  vb.offset.assign(n_vocab, 0);
  vb.length.assign(n_vocab, 0);
  vb.byte_level_text.assign(byte_fallback ? 0 : n_vocab, 0);
  out.n_vocab = n_vocab;
  out.ascii_ids.fill(-1);
  out.byte_ids.fill(-1);
  out.char_ids.clear();

  // Decoded bytes of every "vocab" text, and the single-character tables.
  for (const auto& m : vocab->GetObject()) {
    const std::string_view text = json_string(m.name);
    const auto id = static_cast<uint32_t>(id_of(m.value));
    if (repeated_text && vb.index.find(text)->second != id) continue;  // an overridden entry
    const size_t start = vb.scratch.size();
    uint8_t byte;
    if (!byte_fallback) {
      vb.byte_level_text[id] = decode_byte_level_text(text, vb.scratch) && !text.empty();
    } else if (parse_byte_token(text, byte)) {
      vb.scratch.push_back(static_cast<char>(byte));
    } else {
      decode_metaspace_text(text, vb.scratch);
    }
    vb.offset[id] = start;
    vb.length[id] = static_cast<uint32_t>(vb.scratch.size() - start);

    if (!byte_fallback || text.empty()) continue;
    const auto [c, len] = utf8::decode_or_byte(text, 0);
    if (len != text.size()) continue;
    if (c < 0x80) {
      out.ascii_ids[c] = static_cast<int32_t>(id);
    } else {
      out.char_ids[c] = id;
    }
  }

  // Added tokens fill only ids that still have no bytes, verbatim.
  for (const JsonValue& token : added) {
    const JsonValue* content = json_find(&token, "content");
    const JsonValue* id = json_find(&token, "id");
    if (content == nullptr || !content->IsString() || id == nullptr || !id->IsUint64() ||
        id->GetUint64() >= n_vocab || vb.length[id->GetUint64()] != 0) {
      continue;
    }
    vb.offset[id->GetUint64()] = vb.scratch.size();
    vb.length[id->GetUint64()] = content->GetStringLength();
    vb.scratch.append(json_string(*content));
  }

  uint64_t total = 0;
  for (const uint32_t len : vb.length) total += len;
  if (total > UINT32_MAX) {
    return Error{"the decoded token bytes take " + std::to_string(total) +
                 " bytes (must be below 2^32)"};
  }
  vb.total_bytes = total;

  // byte_ids: the token a byte is encoded with when nothing longer applies. That
  // is the text the byte stands for, looked up as it is: the byte's ByteLevel
  // character, or the byte token spelled "<0xNN>" with upper-case digits (other
  // spellings decode to the byte but are never chosen for it).
  std::string spelled;
  for (int b = 0; b < 256; ++b) {
    spelled.clear();
    if (byte_fallback) {
      constexpr char kHex[] = "0123456789ABCDEF";
      spelled = {'<', '0', 'x', kHex[b >> 4], kHex[b & 15], '>'};
    } else {
      utf8::append(spelled, byte_level_char(static_cast<uint8_t>(b)));
    }
    const auto it = vb.index.find(std::string_view(spelled));
    if (it != vb.index.end()) out.byte_ids[b] = static_cast<int32_t>(it->second);
  }
  return Unit{};
}

PieceMap build_piece_ids(const VocabBuild& vb) {
  // A piece is looked up as the text its bytes map to.
  PieceMap pieces;
  pieces.reserve(vb.n_vocab);
  for (uint64_t id = 0; id < vb.byte_level_text.size(); ++id) {
    if (!vb.byte_level_text[id]) continue;
    pieces.try_emplace(std::string(vb.bytes_of(id)), static_cast<uint32_t>(id));
  }
  return pieces;
}

Result<Unit> set_unknown_id(std::optional<std::string_view> unk_token, bool fuse_unk,
                            const VocabBuild& vb, Tokenizer& out) {
  // Text without a token: in ByteLevel models a byte without one; in
  // byte_fallback models a character outside "vocab" with a byte that has no
  // byte token (every byte that can occur in UTF-8 text has such characters,
  // while an ASCII character may have a text of its own).
  bool unknown_text = false;
  for (int b = 0; b < 256 && !unknown_text; ++b) {
    if (out.byte_ids[b] >= 0) continue;
    if (!out.byte_fallback) {
      unknown_text = true;
    } else if (b < 0x80) {
      unknown_text = out.ascii_ids[b] < 0;
    } else {
      unknown_text = b != 0xC0 && b != 0xC1 && b < 0xF5;
    }
  }
  if (!unk_token.has_value() || !unknown_text) return Unit{};
  const auto it = vb.index.find(*unk_token);
  if (it == vb.index.end()) {
    return Error{"unsupported model \"unk_token\": " + quoted_text(*unk_token) +
                 " (not in \"vocab\", while some text has no token)"};
  }
  out.unk_id = static_cast<int32_t>(it->second);
  out.fuse_unk = fuse_unk;
  if (!out.byte_fallback) {
    for (int b = 0; b < 256; ++b) {
      if (out.byte_ids[b] >= 0) continue;
      out.byte_ids[b] = out.unk_id;
      out.unknown_bytes[b] = true;
    }
  }
  return Unit{};
}

void pack_token_bytes(const VocabBuild& vb, Tokenizer& out) {
  TokenBytes& tb = out.token_bytes;
  tb.arena.clear();
  tb.arena.reserve(vb.total_bytes);
  tb.spans.clear();
  tb.spans.reserve(vb.n_vocab);
  for (uint64_t id = 0; id < vb.n_vocab; ++id) {
    tb.spans.push_back(TokenSpan{static_cast<uint32_t>(tb.arena.size()), vb.length[id]});
    tb.arena.append(vb.bytes_of(id));
  }
}

}  // namespace quorvane
