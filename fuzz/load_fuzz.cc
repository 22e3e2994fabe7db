// Loads arbitrary bytes as a tokenizer.json: every input either loads or is
// refused with a message; nothing crashes, leaks or reads out of bounds.
// QUORVANE_FUZZ_DUMP_MODELS=dir writes the small fuzz models into dir as seeds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_models.h"

#include "lib/decode.h"
#include "lib/encode.h"
#include "lib/loader.h"

using namespace quorvane;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = getenv("QUORVANE_FUZZ_DUMP_MODELS");
  if (dir == nullptr) return 0;
  for (const fuzz::FuzzModel& m : fuzz::fuzz_models()) {
    std::string path = std::string(dir) + "/" + m.name + ".json";
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) abort();
    fwrite(m.json.data(), 1, m.json.size(), f);
    fclose(f);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view json(reinterpret_cast<const char*>(data), size);
  auto loaded = load_tokenizer_json_text("fuzz.json", json);
  if (!loaded.ok()) {
    if (loaded.error().empty()) abort();  // every refusal carries its message
    return 0;
  }
  const Tokenizer& m = *loaded.value();
  // A model that loaded must encode and decode without tripping an invariant.
  std::vector<uint32_t> ids;
  if (encode_text(m, "Hello world, it's 12345 \xe4\xb8\xad\xe6\x96\x87!\n", MergeStrategy::kAuto,
                  true, ids))
    abort();
  std::string bytes = decode_bytes(m, ids);
  (void)bytes;
  return 0;
}
