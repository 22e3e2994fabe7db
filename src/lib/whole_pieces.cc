#include "lib/whole_pieces.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <thread>

#include "bpe/bpe_merge.h"
#include "lib/encode.h"
#include "lib/tokenizer.h"

namespace quorvane {

namespace {

// Marks ok[id] for the ids in [begin, end) whose bytes merge to that id alone.
void check_ids(const Tokenizer& model, size_t begin, size_t end, std::vector<uint8_t>& ok) {
  MergeScratch scratch;
  uint32_t piece[kShortPieceMax];
  for (size_t id = begin; id < end; ++id) {
    const std::string_view bytes = model.token_bytes.bytes_of(static_cast<uint32_t>(id));
    if (bytes.size() < 2 || bytes.size() > kShortPieceMax) continue;
    size_t n = 0;
    for (unsigned char b : bytes) {
      const int32_t byte_id = model.byte_ids[b];
      piece[n] = static_cast<uint32_t>(byte_id);
      n += byte_id >= 0 ? 1 : 0;
    }
    scratch.output.clear();
    bpe_merge_ids(model, piece, n, scratch, MergeStrategy::kAuto);
    ok[id] = scratch.output.size() == 1 && scratch.output[0] == id ? 1 : 0;
  }
}

// As check_ids, for byte_fallback models: the key through the piece encoder.
void check_keys(const Tokenizer& model, size_t begin, size_t end, std::vector<uint8_t>& ok) {
  MergeScratch scratch;
  for (size_t id = begin; id < end; ++id) {
    const std::string_view bytes = model.token_bytes.bytes_of(static_cast<uint32_t>(id));
    if (bytes.empty() || bytes.size() > kShortPieceMax) continue;
    const std::string key = metaspace_key(bytes);
    if (key.size() < 2 || key.size() > kShortPieceMax) continue;
    scratch.output.clear();
    encode_byte_fallback(model, key, scratch, MergeStrategy::kAuto);
    ok[id] = scratch.output.size() == 1 && scratch.output[0] == id ? 1 : 0;
  }
}

using CheckFn = void (*)(const Tokenizer&, size_t, size_t, std::vector<uint8_t>&);

// ok[id] by `check` over every id, split over a few threads.
std::vector<uint8_t> check_all(const Tokenizer& model, CheckFn check) {
  const size_t n_ids = model.token_bytes.spans.size();
  std::vector<uint8_t> ok(n_ids, 0);
  // Merging every id's bytes is the bulk of the build: split it over a few
  // threads. Each writes only its own range of `ok`.
  const size_t n_threads = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
  const size_t chunk = (n_ids + n_threads - 1) / n_threads;
  {
    std::vector<std::thread> threads;
    try {
      for (size_t t = 1; t < n_threads && t * chunk < n_ids; ++t) {
        threads.emplace_back(check, std::cref(model), t * chunk, std::min(n_ids, (t + 1) * chunk),
                             std::ref(ok));
      }
    } catch (const std::system_error&) {
      // No thread to spare: the ranges of the threads not started are checked here.
    }
    check(model, 0, std::min(n_ids, chunk), ok);
    check(model, std::min(n_ids, (threads.size() + 1) * chunk), n_ids, ok);
    for (std::thread& t : threads) t.join();
  }
  return ok;
}

}  // namespace

std::string metaspace_key(std::string_view bytes) {
  std::string key;
  for (const char c : bytes) {
    if (c == ' ') {
      key += "\xE2\x96\x81";
    } else {
      key += c;
    }
  }
  return key;
}

template <class KeyOf>
WholePieces WholePieces::from_keys(const std::vector<uint32_t>& ids, const KeyOf& key_of,
                                   bool huge_pages) {
  WholePieces table;
  if (ids.empty()) return table;
  table.slots_ = decltype(slots_)(HugePageAllocator<uint64_t>(huge_pages));
  table.records_ = decltype(records_)(HugePageAllocator<uint8_t>(huge_pages));
  // At most 60% full: a piece without a key reads about four slots, in one or two
  // cache lines, where an emptier table would cost more memory and cache.
  table.homes_ = std::max<uint64_t>(16, ids.size() * 5 / 3);
  table.slots_.assign(table.homes_ + 1, kEmpty);
  for (const uint32_t id : ids) {
    const std::string_view key = key_of(id);
    // Record offsets are 32-bit; a key left out is merged instead, to the same id.
    if (table.records_.size() + 4 + key.size() > uint64_t{1} << 32) break;
    const auto offset = static_cast<uint32_t>(table.records_.size());
    table.records_.resize(offset + 4 + key.size());
    std::memcpy(table.records_.data() + offset, &id, 4);
    std::memcpy(table.records_.data() + offset + 4, key.data(), key.size());
    const uint64_t hash = piece_hash(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    size_t h = table.home_of(hash);
    while (table.slots_[h] != kEmpty) ++h;
    table.slots_[h] = static_cast<uint64_t>(slot_check(hash, key.size())) << 32 | offset;
    if (h + 1 == table.slots_.size()) table.slots_.push_back(kEmpty);
    table.max_len_ = std::max(table.max_len_, key.size());
  }
  table.records_.shrink_to_fit();
  table.slots_.shrink_to_fit();
  return table;
}

WholePieces WholePieces::build(const Tokenizer& model) {
  const size_t n_ids = model.token_bytes.spans.size();
  const std::vector<uint8_t> ok = check_all(model, check_ids);
  std::vector<uint32_t> ids;
  for (size_t id = 0; id < n_ids; ++id) {
    if (ok[id] != 0) ids.push_back(static_cast<uint32_t>(id));
  }
  return from_keys(
      ids, [&model](uint32_t id) { return model.token_bytes.bytes_of(id); }, false);
}

WholePieces WholePieces::build_byte_fallback(const Tokenizer& model) {
  const size_t n_ids = model.token_bytes.spans.size();
  const std::vector<uint8_t> ok = check_all(model, check_keys);
  std::vector<uint32_t> ids;
  for (size_t id = 0; id < n_ids; ++id) {
    if (ok[id] != 0) ids.push_back(static_cast<uint32_t>(id));
  }
  // Text in many scripts probes the table for most of its pieces, over
  // megabytes (gemma3: 6.5 MiB): on small pages most probes also miss the TLB.
  std::string key;
  return from_keys(
      ids,
      [&model, &key](uint32_t id) {
        key = metaspace_key(model.token_bytes.bytes_of(id));
        return std::string_view(key);
      },
      true);
}

}  // namespace quorvane
