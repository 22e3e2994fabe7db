// Small hand-built models for the engine's unit tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bpe/merge_table.h"
#include "lib/tokenizer.h"

namespace quorvane::testing {

// A pre-tokenizer road as text: "scan" with the scanner's kind, flag and digit
// limit, "cjk", "split" with the number of patterns, "whole" or "words" with the
// metaspace mode (and "each" when every U+2581 is cut); "+text" or "+piece" for
// a ByteLevel prefix space.
inline std::string describe(const PreTokenizer& road) {
  const auto prefix = [](ByteLevelPrefix p) -> std::string {
    return p == ByteLevelPrefix::kText ? "+text" : p == ByteLevelPrefix::kEachPiece ? "+piece" : "";
  };
  return std::visit(
      Overloaded{
          [&](const ScannedPieces& s) {
            return "scan " + std::to_string(int(s.spec.kind)) + " " + std::to_string(s.spec.flag) +
                   " " + std::to_string(s.spec.digit_limit) + prefix(s.prefix);
          },
          [&](const CjkPieces& c) { return "cjk" + prefix(c.prefix); },
          [&](const SplitPieces& s) {
            return "split " + std::to_string(s.regexes.size()) + prefix(s.prefix);
          },
          [](const WholeText&) -> std::string { return "whole"; },
          [](const MetaspaceWords& w) {
            return "words " + std::to_string(int(w.mode)) + (w.cut_each ? " each" : "");
          },
      },
      road);
}

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
