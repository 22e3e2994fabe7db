// Test support for the BPE tests: small hand-built models whose tokens are
// strings, and a naive canonical BPE to compare every merger against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"

namespace quorvane::testing {

// Tokens are strings; token i has text `texts[i]`. Ids 0..alphabet-1 are single characters.
struct StringVocab {
  std::vector<std::string> texts;
  std::map<std::string, uint32_t> ids;

  uint32_t id_of(const std::string& text) {
    auto [it, inserted] = ids.emplace(text, static_cast<uint32_t>(texts.size()));
    if (inserted) texts.push_back(text);
    return it->second;
  }
};

// Fills the model's merge tables from `rules` the way the loader does.
inline void set_rules(MergeModel& model, std::vector<MergeRule> rules, uint64_t n_vocab) {
  model.merges = MergeMap::build(rules);
  model.monotonic = merges_are_monotonic(rules, n_vocab);
  model.stream = StreamTables::build(std::move(rules), n_vocab);
}

// Lowest rank, leftmost among equals, until no pair has a rule; a pair listed
// twice merges by its first copy.
inline std::vector<uint32_t> reference_bpe(const std::vector<MergeRule>& rules,
                                           std::vector<uint32_t> ids) {
  std::map<std::pair<uint32_t, uint32_t>, std::pair<uint32_t, uint32_t>> table;
  for (uint32_t r = 0; r < rules.size(); ++r) {
    table.emplace(std::make_pair(rules[r].left, rules[r].right),
                  std::make_pair(r, rules[r].merged));
  }
  for (;;) {
    uint32_t best = kNone;
    size_t at = 0;
    uint32_t merged = 0;
    for (size_t i = 0; i + 1 < ids.size(); ++i) {
      const auto it = table.find({ids[i], ids[i + 1]});
      if (it != table.end() && it->second.first < best) {
        best = it->second.first;
        merged = it->second.second;
        at = i;
      }
    }
    if (best == kNone) return ids;
    ids[at] = merged;
    ids.erase(ids.begin() + static_cast<ptrdiff_t>(at) + 1);
  }
}

// Random rules over the tokens of `vocab`: each joins two existing tokens into
// the token of their concatenated text, as real BPE vocabularies do. With
// `in_rank_order` the pairs are drawn only from tokens made so far, which tends
// to give monotonic tables; otherwise the texts are built first and listed in a
// shuffled order. `heavy_left`, when set, takes part on the left of many rules.
inline std::vector<MergeRule> random_string_rules(std::mt19937& rng, StringVocab& vocab,
                                                  size_t n_rules, bool in_rank_order,
                                                  int heavy_left) {
  std::vector<MergeRule> rules;
  std::vector<uint32_t> made;
  std::set<uint32_t> consumed;
  for (uint32_t i = 0; i < vocab.texts.size(); ++i) made.push_back(i);
  for (size_t k = 0; k < n_rules * 4 && rules.size() < n_rules; ++k) {
    const auto pick = [&] {
      // Favour recent tokens so that long tokens appear.
      std::uniform_int_distribution<size_t> any(0, made.size() - 1);
      size_t i = any(rng);
      if (rng() % 2) i = std::max(i, any(rng));
      return made[i];
    };
    uint32_t left = pick();
    if (heavy_left >= 0 && rng() % 3 == 0) left = static_cast<uint32_t>(heavy_left);
    const uint32_t right = pick();
    const std::string text = vocab.texts[left] + vocab.texts[right];
    if (text.size() > 12) continue;
    const size_t before = vocab.texts.size();
    const uint32_t merged = vocab.id_of(text);
    const bool is_new = vocab.texts.size() > before;
    // In rank order, a second road to a token that rules already consume would
    // make the table non-monotonic; keep such roads rare.
    if (in_rank_order && !is_new && consumed.count(merged) && rng() % 8 != 0) continue;
    if (is_new) made.push_back(merged);
    consumed.insert(left);
    consumed.insert(right);
    rules.push_back({left, right, merged});
  }
  if (!in_rank_order) std::shuffle(rules.begin(), rules.end(), rng);
  return rules;
}

// A piece of `length` characters (ids below `alphabet`), built partly from the
// texts of random tokens so that long merges happen.
inline std::vector<uint32_t> random_piece(std::mt19937& rng, const StringVocab& vocab,
                                          uint32_t alphabet, size_t length) {
  std::vector<uint32_t> ids;
  while (ids.size() < length) {
    if (rng() % 3 == 0) {
      ids.push_back(static_cast<uint32_t>(rng() % alphabet));
    } else {
      const std::string& text = vocab.texts[rng() % vocab.texts.size()];
      for (const char c : text) {
        const auto it = vocab.ids.find(std::string(1, c));
        if (it != vocab.ids.end() && it->second < alphabet && ids.size() < length) {
          ids.push_back(it->second);
        }
      }
    }
  }
  return ids;
}

}  // namespace quorvane::testing
