// MergeModel: what the mergers read of a tokenizer model, and nothing else.
//
// The model holds it (lib/tokenizer.h) and the loader fills it once; tests and
// fuzz targets build one directly, so merging depends on no other part of the
// model.
#pragma once

#include "bpe/merge_table.h"

namespace quorvane {

struct MergeModel {
  MergeMap merges;
  StreamTables stream;
  // merges_are_monotonic: false forces the canonical merger.
  bool monotonic = true;
  // byte_fallback models never use the streaming merger (see bpe_merge).
  bool byte_fallback = false;
};

}  // namespace quorvane
