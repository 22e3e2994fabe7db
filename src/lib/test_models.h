// Small hand-built models for the engine's unit tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"
#include "lib/tokenizer.h"

namespace quorvane::testing {

// A model whose ids 0..255 are the single bytes, followed by `extra` tokens; each
// merge (left, right) joins two tokens into the token spelled by both, which must
// be among the tokens. Merge ranks follow the list order.
inline std::unique_ptr<Tokenizer> byte_model(
    const std::vector<std::string>& extra = {},
    const std::vector<std::pair<std::string, std::string>>& merges = {}) {
  auto model = std::make_unique<Tokenizer>();
  std::vector<std::string> tokens;
  for (int b = 0; b < 256; ++b) tokens.emplace_back(1, static_cast<char>(b));
  tokens.insert(tokens.end(), extra.begin(), extra.end());
  auto id_of = [&](const std::string& s) {
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i] == s) return static_cast<uint32_t>(i);
    }
    return kNone;
  };
  for (int b = 0; b < 256; ++b) model->byte_ids[b] = b;
  model->n_vocab = tokens.size();
  for (const std::string& t : tokens) {
    model->token_bytes.spans.push_back(
        {static_cast<uint32_t>(model->token_bytes.arena.size()), static_cast<uint32_t>(t.size())});
    model->token_bytes.arena += t;
  }
  std::vector<MergeRule> rules;
  for (const auto& [l, r] : merges) rules.push_back({id_of(l), id_of(r), id_of(l + r)});
  model->merges = MergeMap::build(rules);
  model->monotonic = merges_are_monotonic(rules, model->n_vocab);
  model->stream = StreamTables::build(std::move(rules), model->n_vocab);
  return model;
}

}  // namespace quorvane::testing
