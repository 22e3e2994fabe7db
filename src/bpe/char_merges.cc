#include "bpe/char_merges.h"

#include <algorithm>

#include "unicode/utf8.h"

namespace quorvane {

namespace {

// Rank lists grouped by one side's id, ascending: those of id t lie at
// ranks[start[t] .. start[t + 1]).
struct RanksBySide {
  std::vector<uint32_t> start;
  std::vector<uint32_t> ranks;
};

RanksBySide ranks_by_right(const std::vector<MergeRule>& rules, size_t n_ids) {
  RanksBySide t;
  t.start.assign(n_ids + 1, 0);
  for (const MergeRule& rule : rules) {
    if (rule.right < n_ids) ++t.start[rule.right + 1];
  }
  for (size_t id = 0; id < n_ids; ++id) t.start[id + 1] += t.start[id];
  t.ranks.resize(t.start[n_ids]);
  std::vector<uint32_t> fill(t.start.begin(), t.start.end() - 1);
  for (size_t r = 0; r < rules.size(); ++r) {
    if (rules[r].right < n_ids) t.ranks[fill[rules[r].right]++] = static_cast<uint32_t>(r);
  }
  return t;
}

}  // namespace

bool CharMerges::blocked_before(const Entry& e, uint8_t b) {
  if ((b & 0xC0) == 0x80) return ((e.before_continuation >> (b & 63)) & 1) != 0;
  if (b == ' ') return (e.other & kBeforeSpace) != 0;
  if (b < 0x80) return (e.other & kBeforeAscii) != 0;
  return (e.other & kBeforeLead) != 0;
}

bool CharMerges::blocked_after(const Entry& e, uint8_t b) {
  if (b >= 0xC0) return ((e.after_lead >> (b & 63)) & 1) != 0;
  if (b < 0x80) return (e.other & kAfterAscii) != 0;
  return (e.other & kAfterContinuation) != 0;
}

size_t CharMerges::gather(const uint8_t* p, size_t from, size_t n,
                          const std::array<int32_t, 256>& byte_ids, uint32_t* ids) const {
  size_t k = 0;
  for (size_t i = from; i < n;) {
    const uint8_t b = p[i];
    if (b >= 0xC2 && !entries_.empty()) {
      const DecodedChar c = utf8::decode_well_formed(p, n, i);
      if (c.len != 0) {
        const Entry* e = find(c.cp);
        if (e != nullptr && (i == 0 || !blocked_before(*e, p[i - 1])) &&
            (i + c.len == n || !blocked_after(*e, p[i + c.len]))) {
          ids[k++] = e->id;
        } else {
          for (size_t j = 0; j < c.len; ++j) ids[k++] = static_cast<uint32_t>(byte_ids[p[i + j]]);
        }
        i += c.len;
        continue;
      }
    }
    ids[k++] = static_cast<uint32_t>(byte_ids[b]);
    ++i;
  }
  return k;
}

CharMerges CharMerges::build(const MergeMap& merges, const StreamTables& stream,
                             const std::array<int32_t, 256>& byte_ids,
                             const std::vector<std::pair<uint32_t, uint32_t>>& candidates,
                             const std::vector<uint16_t>& first_byte,
                             const std::vector<uint16_t>& last_byte) {
  CharMerges out;
  for (const int32_t id : byte_ids) {
    if (id < 0) return out;
  }
  const std::vector<MergeRule>& rules = stream.rules;
  const size_t n_ids = std::min(first_byte.size(), last_byte.size());
  const RanksBySide by_right = ranks_by_right(rules, n_ids);
  auto byte_of = [&](const std::vector<uint16_t>& bytes, uint32_t id) -> uint16_t {
    return id < n_ids ? bytes[id] : kNoByte;
  };
  // Per edge token (byte tokens and parts of characters, few), the first rank at
  // which each neighbouring byte appears, ascending, as rank << 16 | byte: all
  // lists in one flat array, each made once; spans hold begin << 32 | end.
  std::vector<uint64_t> firsts;
  std::vector<uint64_t> before_span(n_ids, ~uint64_t{0});
  std::vector<uint64_t> after_span(n_ids, ~uint64_t{0});
  auto span_of = [&](uint32_t token, bool before) -> uint64_t {
    if (token >= n_ids) return 0;
    uint64_t& span = (before ? before_span : after_span)[token];
    if (span != ~uint64_t{0}) return span;
    const uint32_t* ranks = nullptr;
    const uint32_t* end = nullptr;
    if (before) {
      ranks = by_right.ranks.data() + by_right.start[token];
      end = by_right.ranks.data() + by_right.start[token + 1];
    } else if (token + uint64_t{1} < stream.left_start.size()) {
      ranks = stream.left_ranks.data() + stream.left_start[token];
      end = stream.left_ranks.data() + stream.left_start[token + 1];
    }
    const uint64_t begin = firsts.size();
    std::array<bool, 257> seen{};
    for (; ranks != end; ++ranks) {
      const MergeRule& rule = rules[*ranks];
      const uint16_t byte =
          before ? byte_of(last_byte, rule.left) : byte_of(first_byte, rule.right);
      if (seen[byte]) continue;
      seen[byte] = true;
      firsts.push_back(uint64_t{*ranks} << 16 | byte);
    }
    span = begin << 32 | firsts.size();
    return span;
  };
  // Calls `block(byte)` for each neighbouring byte (kNoByte: every byte) that a
  // rule at or below rank `best` joins to `token` on that side.
  auto for_blocking = [&](uint32_t token, bool before, uint32_t best, auto&& block) {
    const uint64_t span = span_of(token, before);
    for (uint64_t k = span >> 32; k < (span & 0xFFFFFFFFu); ++k) {
      if ((firsts[k] >> 16) > best) break;
      const auto byte = static_cast<uint16_t>(firsts[k] & 0xFFFF);
      if (byte != kNoByte) {
        block(byte);
      } else {
        for (uint16_t b = 0; b < 256; ++b) block(b);
      }
    }
  };

  // Sized up front: growing them would leave freed blocks in the heap.
  out.page_of_block_.assign(kBlocks, 0);
  size_t blocks = 0;
  for (const auto& candidate : candidates) {
    const uint32_t cp = candidate.first;
    if (cp < 0x110000 && out.page_of_block_[cp >> kBlockBits] == 0) {
      out.page_of_block_[cp >> kBlockBits] = 1;
      ++blocks;
    }
  }
  std::fill(out.page_of_block_.begin(), out.page_of_block_.end(), 0);
  out.pages_.reserve((std::min<size_t>(blocks, 0xFFFF) + 1) << kBlockBits);
  out.pages_.assign(size_t{1} << kBlockBits, 0);  // page 0: empty
  out.entries_.reserve(std::min<size_t>(candidates.size(), 0xFFFF));
  std::vector<uint32_t> toks;
  for (const auto& [cp, id] : candidates) {
    if (out.entries_.size() >= 0xFFFF) break;
    if (cp >= 0x110000) continue;
    char bytes[4];
    const size_t len = utf8::encode(cp, bytes);
    if (len < 2) continue;
    toks.clear();
    for (size_t k = 0; k < len; ++k) {
      toks.push_back(static_cast<uint32_t>(byte_ids[static_cast<uint8_t>(bytes[k])]));
    }
    Entry e{0, 0, id, 0};
    bool merges_whole = true;
    while (toks.size() > 1) {
      uint32_t best = kNone;
      size_t at = 0;
      for (size_t k = 0; k + 1 < toks.size(); ++k) {
        const uint32_t rank = merges.rank(toks[k], toks[k + 1]);
        if (rank < best) {
          best = rank;
          at = k;
        }
      }
      if (best == kNone) {
        merges_whole = false;
        break;
      }
      // A rule at the same rank blocks too: a pair on the left goes first on a
      // tie, and one on the right would be taken in the same pass.
      for_blocking(toks.front(), true, best, [&](uint16_t b) {
        if ((b & 0xC0) == 0x80) {
          e.before_continuation |= uint64_t{1} << (b & 63);
        } else if (b == ' ') {
          e.other |= kBeforeSpace;
        } else if (b < 0x80) {
          e.other |= kBeforeAscii;
        } else {
          e.other |= kBeforeLead;
        }
      });
      for_blocking(toks.back(), false, best, [&](uint16_t b) {
        if (b >= 0xC0) {
          e.after_lead |= uint64_t{1} << (b & 63);
        } else if (b < 0x80) {
          e.other |= kAfterAscii;
        } else {
          e.other |= kAfterContinuation;
        }
      });
      toks[at] = merges.merged_of(best);
      toks.erase(toks.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    if (!merges_whole || toks[0] != id) continue;
    const uint32_t block = cp >> kBlockBits;
    if (out.page_of_block_[block] == 0) {
      const size_t page = out.pages_.size() >> kBlockBits;
      if (page > 0xFFFF) continue;
      out.page_of_block_[block] = static_cast<uint16_t>(page);
      out.pages_.resize(out.pages_.size() + (size_t{1} << kBlockBits), 0);
    }
    uint16_t& slot = out.pages_[(size_t{out.page_of_block_[block]} << kBlockBits) | (cp & 63)];
    if (slot != 0) continue;  // two tokens of the same bytes: the first stays
    out.entries_.push_back(e);
    slot = static_cast<uint16_t>(out.entries_.size());
  }
  if (out.entries_.empty()) return CharMerges();
  return out;
}

}  // namespace quorvane
