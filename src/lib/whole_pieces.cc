#include "lib/whole_pieces.h"

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>

#include "bpe/bpe_merge.h"
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
    bpe_merge_ids(model, piece, n, scratch, kMergeAuto);
    ok[id] = scratch.output.size() == 1 && scratch.output[0] == id ? 1 : 0;
  }
}

}  // namespace

WholePieces WholePieces::build(const Tokenizer& model) {
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
        threads.emplace_back(check_ids, std::cref(model), t * chunk,
                             std::min(n_ids, (t + 1) * chunk), std::ref(ok));
      }
    } catch (const std::system_error&) {
      // No thread to spare: the ranges of the threads not started are checked here.
    }
    check_ids(model, 0, std::min(n_ids, chunk), ok);
    check_ids(model, std::min(n_ids, (threads.size() + 1) * chunk), n_ids, ok);
    for (std::thread& t : threads) t.join();
  }
  std::vector<uint32_t> ids;
  for (size_t id = 0; id < n_ids; ++id) {
    if (ok[id] != 0) ids.push_back(static_cast<uint32_t>(id));
  }
  WholePieces table;
  if (ids.empty()) return table;
  size_t count = 16;
  while (count < 2 * ids.size()) count *= 2;
  table.slots_.assign(count, kNone);
  table.mask_ = count - 1;
  for (const uint32_t id : ids) {
    const std::string_view bytes = model.token_bytes.bytes_of(id);
    uint64_t h =
        piece_hash(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) & table.mask_;
    while (table.slots_[h] != kNone) h = (h + 1) & table.mask_;
    table.slots_[h] = id;
  }
  return table;
}

}  // namespace quorvane
