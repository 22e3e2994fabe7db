// Decodes fuzz-chosen ids (in range and far out of it) with a small model.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_models.h"
#include "lib/decode.h"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Tokenizer& m = *fuzz::fuzz_models()[0].model;
  std::vector<uint32_t> ids(size / 4);
  if (!ids.empty()) std::memcpy(ids.data(), data, ids.size() * 4);
  for (uint32_t& id : ids) {
    if (id & 0x80000000u) id &= 0x3FF;  // mostly valid ids, some beyond n_vocab
  }
  std::string bytes = decode_bytes(m, ids);
  size_t want = 0;
  for (uint32_t id : ids) {
    if (id < m.n_vocab) want += m.token_bytes.spans[id].len;
  }
  if (bytes.size() != want) abort();
  return 0;
}
