#include "lib/merge_reading.h"

#include <string>
#include <string_view>

#include <absl/container/flat_hash_map.h>

namespace quorvane {

void drop_earlier_repeats(std::vector<MergeRule>& rules) {
  absl::flat_hash_map<uint64_t, uint32_t> last_copy;
  last_copy.reserve(rules.size());
  bool repeated = false;
  for (uint32_t r = 0; r < rules.size(); ++r) {
    const uint64_t pair = (uint64_t{rules[r].left} << 32) | rules[r].right;
    auto [it, fresh] = last_copy.try_emplace(pair, r);
    if (!fresh) {
      it->second = r;
      repeated = true;
    }
  }
  if (!repeated) return;
  size_t kept = 0;
  for (uint32_t r = 0; r < rules.size(); ++r) {
    const uint64_t pair = (uint64_t{rules[r].left} << 32) | rules[r].right;
    if (last_copy.find(pair)->second == r) rules[kept++] = rules[r];
  }
  rules.resize(kept);
}

std::vector<MergeRule> read_merge_rules(const JsonValue* model, const VocabIndex& vocab) {
  std::vector<MergeRule> rules;
  const auto entries = json_elements(json_find(model, "merges"));
  rules.reserve(entries.size());
  std::string merged;
  for (const JsonValue& entry : entries) {
    std::string_view left;
    std::string_view right;
    if (entry.IsString()) {
      const std::string_view text = json_string(entry);
      const size_t space = text.find(' ');
      if (space == std::string_view::npos) continue;
      left = text.substr(0, space);
      right = text.substr(space + 1);
    } else if (entry.IsArray() && entry.Size() >= 2 && entry[0].IsString() && entry[1].IsString()) {
      left = json_string(entry[0]);
      right = json_string(entry[1]);
    } else {
      continue;
    }
    const auto l = vocab.find(left);
    if (l == vocab.end()) continue;
    const auto r = vocab.find(right);
    if (r == vocab.end()) continue;
    merged.assign(left);
    merged.append(right);
    const auto m = vocab.find(std::string_view(merged));
    if (m == vocab.end()) continue;
    rules.push_back(MergeRule{l->second, r->second, m->second});
  }
  return rules;
}

}  // namespace quorvane
