// BPE merging of one piece's ids into its final tokens.
//
// `bpe_merge` computes canonical BPE (lowest rank first, leftmost among equals)
// with one of three strategies: the streaming merger and scan-and-merge (both
// need a monotonic table) and the canonical merger (any table). `MergeScratch`
// holds every per-call buffer so that, once grown, no piece allocates.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"
#include "bpe/pair_filter.h"

namespace quorvane {

class PieceCache;
struct HeldPieces;

// Which merger runs (see bpe_merge): the automatic choice, or one merger forced
// on every piece so that the mergers can be compared.
enum class MergeStrategy : uint8_t { kAuto, kStream, kScan };

// Pieces longer than this use the heap-based canonical merger (unless a
// strategy is forced).
inline constexpr size_t kShortPieceMax = 256;

struct MergeScratch {
  std::vector<uint32_t> output;  // the call's result; every piece is appended here
  std::vector<uint32_t> piece;   // ids of the piece to merge, filled by the driver
  // Canonical merger, long pieces.
  std::vector<uint32_t> prev;
  std::vector<uint32_t> next;
  std::vector<MergeHit> pairs;  // per position: its pair's rank and merged id
  std::vector<uint64_t> heap;   // rank << 32 | position
  std::vector<uint32_t> collected;
  // Scan-and-merge forced on a long piece (short pieces use the stack).
  std::vector<uint32_t> scan_ranks;
  // Streaming merger.
  std::vector<uint32_t> pending;                    // rule ranks
  std::vector<std::pair<uint32_t, uint32_t>> work;  // (token, candidate rule)
  // The thread's cache of merged pieces, set by the driver when the call may
  // use it; the mergers never touch it.
  PieceCache* piece_cache = nullptr;
  // Where a driver that merges short pieces several at a time holds them back
  // (see canonical_merge_together), else null.
  HeldPieces* held = nullptr;
};

// Merges scratch.piece and appends the result to scratch.output.
//
// Non-monotonic tables always use the canonical merger. byte_fallback models
// (monotonic) use scan-and-merge up to kShortPieceMax ids and the heap-based
// canonical merger beyond, whatever the strategy, so that no piece costs more
// than n log n. So does the automatic strategy on other models; kStream and
// kScan force one merger on every piece so that they can be compared.
// Scan-and-merge skips the probes of pairs that `filter` (when given: the
// model's PairFilter) refuses.
void bpe_merge(const MergeModel& model, MergeScratch& scratch, MergeStrategy strategy,
               const PairFilter* filter = nullptr);

// bpe_merge on ids[0, n) instead of scratch.piece, for drivers that gather a
// short piece's ids on the stack: pieces of up to kShortPieceMax ids are merged
// in place without touching scratch.piece. Same ids as bpe_merge.
void bpe_merge_ids(const MergeModel& model, uint32_t* ids, size_t n, MergeScratch& scratch,
                   MergeStrategy strategy, const PairFilter* filter = nullptr);

// Scan-and-merge (monotonic tables) of ids[0, n), 1 <= n <= kShortPieceMax, whose
// pair ranks the caller already has: ranks[i] is the rank of (ids[i], ids[i + 1])
// for i + 1 < n. Appends the result to `output`; same ids as bpe_merge_ids.
// Both arrays are rewritten.
void scan_merge_ranked(const MergeMap& merges, const PairFilter* filter, uint32_t* ids,
                       uint32_t* ranks, size_t n, std::vector<uint32_t>& output);

// One step of the streaming merger: token `token` with candidate rule `rule`.
// `merges` lets a token whose candidate rule failed skip straight to the next
// rule that can still apply, instead of walking its rules one by one.
// Returns the number of steps taken.
uint64_t stream_merge_push(const MergeMap& merges, const StreamTables& stream, uint32_t token,
                           uint32_t rule, std::vector<uint32_t>& pending,
                           std::vector<std::pair<uint32_t, uint32_t>>& work,
                           std::vector<uint32_t>& output);

}  // namespace quorvane
