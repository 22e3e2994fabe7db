#include "lib/loader.h"

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "bpe/merge_table.h"
#include "lib/config_reading.h"
#include "lib/decoder_reading.h"
#include "lib/encode.h"
#include "lib/json_lookup.h"
#include "lib/merge_reading.h"
#include "lib/model_keys.h"
#include "lib/piece_cache.h"
#include "lib/pretok_choice.h"
#include "lib/vocab_tables.h"
#include "lib/whole_pieces.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

// The tokens whose bytes are one character of two to four bytes, and every
// token's first and last byte, for CharMerges::build.
CharMerges build_char_merges(const Tokenizer& model) {
  const size_t n_ids = model.token_bytes.spans.size();
  std::vector<std::pair<uint32_t, uint32_t>> candidates;
  std::vector<uint16_t> first_byte(n_ids, CharMerges::kNoByte);
  std::vector<uint16_t> last_byte(n_ids, CharMerges::kNoByte);
  for (size_t id = 0; id < n_ids; ++id) {
    const std::string_view bytes = model.token_bytes.bytes_of(static_cast<uint32_t>(id));
    if (bytes.empty()) continue;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    first_byte[id] = p[0];
    last_byte[id] = p[bytes.size() - 1];
    if (bytes.size() < 2 || bytes.size() > 4) continue;
    const DecodedChar c = utf8::decode_well_formed(p, bytes.size(), 0);
    if (c.len == bytes.size()) candidates.emplace_back(c.cp, static_cast<uint32_t>(id));
  }
  return CharMerges::build(model.merges, model.stream, model.byte_ids, candidates, first_byte,
                           last_byte);
}

std::string os_reason(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Result<std::string> read_file(std::string_view path) {
  const std::string frame = "cannot read " + std::string(path) + ": ";
  if (path.find('\0') != std::string_view::npos) {
    return Error{frame + "file name contained an unexpected NUL byte"};
  }
  const std::string name(path);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error{frame + os_reason(errno)};
  std::string text(size_t{1} << 16, '\0');
  size_t length = 0;
  bool asked_size = false;
  for (;;) {
    if (length == text.size()) {
      size_t capacity = text.size() * 2;
      // A file larger than the first block is asked its size, so that one more
      // read takes the rest (+ 1 to see the end); a directory has failed to read
      // by then. lseek rather than fstat, whose symbol needs glibc 2.33.
      if (!asked_size) {
        asked_size = true;
        const off_t end = ::lseek(fd, 0, SEEK_END);
        if (end >= 0 && ::lseek(fd, static_cast<off_t>(length), SEEK_SET) < 0) {
          const int err = errno;
          ::close(fd);
          return Error{frame + os_reason(err)};
        }
        if (end > static_cast<off_t>(length)) capacity = static_cast<size_t>(end) + 1;
      }
      text.resize(capacity);
    }
    const ssize_t got = ::read(fd, text.data() + length, text.size() - length);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return Error{frame + os_reason(err)};
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
  }
  text.resize(length);
  ::close(fd);
  return text;
}

Result<std::unique_ptr<Tokenizer>> load(std::string_view path, std::string text) {
  if (!utf8::is_well_formed(text)) {
    return Error{"cannot read " + std::string(path) + ": stream did not contain valid UTF-8"};
  }
  JsonDocument doc;
  if (auto parsed = parse_json_in_place(text, doc); !parsed) {
    return Error{"bad JSON: " + parsed.error()};
  }
  const JsonValue* model_value = json_find(&doc, "model");
  if (model_value == nullptr) return Error{"no model"};

  auto model = std::make_unique<Tokenizer>();
  if (auto ok = check_normalizer(doc); !ok) return Error{ok.error()};
  model->byte_fallback = json_is_true(json_find(model_value, "byte_fallback"));
  auto settings = text_settings(doc, model->byte_fallback);
  if (!settings) return Error{settings.error()};
  model->normalizer_kind = settings.value().kind;
  model->rewrite_spaces = settings.value().rewrite_spaces;
  model->rewrite_prepend = settings.value().rewrite_prepend;
  model->rewrite_before_form = settings.value().rewrite_before_form;
  const auto& metaspace = settings.value().metaspace;
  auto road = metaspace
                  ? Result<PreTokenizer>(*metaspace)
                  : choose_pre_tokenizer(json_find(&doc, "pre_tokenizer"), model->byte_fallback);
  if (!road) return Error{road.error()};
  auto decoder = read_decoder(doc);
  if (!decoder) return Error{decoder.error()};
  if (auto ok = check_root_settings(doc); !ok) return Error{ok.error()};
  auto keys = read_model_keys(model_value);
  if (!keys) return Error{keys.error()};
  const bool ignore_merges = json_is_true(json_find(model_value, "ignore_merges"));

  VocabBuild vocab;
  if (auto ok = read_vocabulary(model_value, json_find(&doc, "added_tokens"), model->byte_fallback,
                                vocab, *model);
      !ok) {
    return Error{ok.error()};
  }
  build_decode_tables(decoder.value(), json_find(model_value, "vocab"), vocab, *model);

  if (auto ok = set_unknown_id(keys.value().unk_token, keys.value().fuse_unk, vocab, *model); !ok) {
    return Error{ok.error()};
  }
  std::vector<MergeRule> rules = read_merge_rules(model_value, vocab.index);
  // Nothing below reads the document: release it, the text it points into and
  // the index of views before the largest tables are built, so that the load
  // peaks lower.
  VocabIndex().swap(vocab.index);
  JsonDocument().Swap(doc);
  std::string().swap(text);
  model_value = nullptr;

  // byte_fallback models merge every piece in the canonical merger, which
  // takes rank and merged id from one probe of the bucketed table.
  const MergeLayout layout = model->byte_fallback ? MergeLayout::kBuckets : MergeLayout::kLinear;
  bool repeated_pair = false;
  model->merges = MergeMap::build(rules, vocab.n_vocab, &repeated_pair, layout);
  if (repeated_pair) {
    drop_earlier_repeats(rules);
    model->merges = MergeMap::build(rules, vocab.n_vocab, nullptr, layout);
  }
  model->stream = StreamTables::build(std::move(rules), vocab.n_vocab);
  model->monotonic = merges_are_monotonic(model->stream.rules, vocab.n_vocab);
  if (model->byte_fallback && !model->monotonic) model->ascii_pairs = ascii_pair_ranks(*model);
  if (model->byte_fallback) model->char_table = CharIdTable::build(model->char_ids);

  if (ignore_merges) model->piece_ids = build_piece_ids(vocab);
  pack_token_bytes(vocab, *model);
  if (!model->piece_ids.has_value()) {
    model->whole_pieces = model->byte_fallback ? WholePieces::build_byte_fallback(*model)
                                               : WholePieces::build(*model);
  }
  if (!model->byte_fallback && model->monotonic && !model->fuse_unk) {
    model->char_merges = build_char_merges(*model);
  }
  if (!model->byte_fallback && model->monotonic) {
    model->pair_filter = PairFilter::build(model->stream.rules);
    model->ascii_byte_pairs = ascii_byte_pair_ranks(*model);
  }
  model->pre_tokenizer = std::move(road).value();
  if (auto* words = std::get_if<MetaspaceWords>(&model->pre_tokenizer)) {
    if (!words->cut_each) words->joins_after = metaspace_join_bytes(*model);
    words->cuts = cut_pairs(*model);
    for (uint64_t w : words->cuts) words->any_cut |= w != 0;
  }
  model->path = std::string(path);
#ifdef __GLIBC__
  // Loading frees far more than the model keeps (the document, its text, the
  // build tables), much of it in blocks that the model's own tables sit above
  // and that glibc would keep mapped: hand those pages back.
  malloc_trim(0);
#endif
  model->cache_serial = next_model_serial();
  return model;
}

}  // namespace

Result<std::unique_ptr<Tokenizer>> load_tokenizer_json(std::string_view path) {
  try {
    auto text = read_file(path);
    if (!text) return Error{text.error()};
    return load(path, std::move(text).value());
  } catch (const std::bad_alloc&) {
    return Error{"not enough memory to load " + std::string(path)};
  }
}

Result<std::unique_ptr<Tokenizer>> load_tokenizer_json_text(std::string_view path,
                                                            std::string_view json) {
  try {
    return load(path, std::string(json));
  } catch (const std::bad_alloc&) {
    return Error{"not enough memory to load " + std::string(path)};
  }
}

}  // namespace quorvane
