// Reading the model's "merges" into merge rules in rank order, resolved against
// the vocabulary's texts. Entries that cannot be resolved are skipped silently
// and take no rank.
#pragma once

#include <vector>

#include "bpe/merge_table.h"
#include "lib/json_lookup.h"
#include "lib/vocab_tables.h"

namespace quorvane {

// Entries are "left right" strings (split at the first space) or arrays whose
// first two elements are the left and right strings.
std::vector<MergeRule> read_merge_rules(const JsonValue* model, const VocabIndex& vocab);

// A pair listed twice merges at its later place in the list: drops the earlier
// copies, so the ranks keep the order of the copies that count.
void drop_earlier_repeats(std::vector<MergeRule>& rules);

}  // namespace quorvane
