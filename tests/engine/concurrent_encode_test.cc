// Many threads encode and decode with one shared model: every result equals
// the single-threaded one. Models are read-only after loading, so this holds
// for split patterns (one PCRE2 code, per-call match data), normalizers, the
// special-token matcher and every merger. Run under ThreadSanitizer it also
// shows that nothing shared is written.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/decode.h"
#include "lib/encode.h"
#include "lib/loader.h"
#include "lib/offsets.h"
#include "lib/special_tokens.h"

namespace quorvane {
namespace {

struct Expected {
  std::vector<uint32_t> ordinary, special, offset_ids;
  std::vector<Span> spans;
  std::string decoded;
  bool offsets = false;
};

const std::vector<std::string>& texts() {
  static const std::vector<std::string> t = [] {
    std::vector<std::string> v = {
        "",
        "Hello world, it's 12345 and   spaces\n\n",
        "caf\xc3\xa9 na\xc3\xafve \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80 <|s|> tail <|s|>",
        "\xe2\x96\x81\xe2\x96\x81x \xef\xbc\xa6\xef\xbd\x95\xef\xbd\x8c\xef\xbd\x8c \xe2\x85\xa0",
        "<|e|><|s|>" + std::string(3000, 'a') + " 0123456789012345 " + std::string(600, ' '),
    };
    std::string mixed;
    for (int i = 0; i < 300; ++i) mixed += "The quick brown fox <|e|> jumps 42 times. ";
    v.push_back(mixed);
    return v;
  }();
  return t;
}

std::unique_ptr<Tokenizer> load(const std::string& json_or_name) {
  if (json_or_name.front() == '{') {
    auto loaded = load_tokenizer_json_text("inline.json", json_or_name);
    EXPECT_TRUE(loaded.ok()) << (loaded.ok() ? "" : loaded.error());
    return loaded.ok() ? std::move(loaded).value() : nullptr;
  }
  const char* root = std::getenv("QUORVANE_TEST_CACHE");
  if (root == nullptr) return nullptr;
  const std::string path = std::string(root) + "/tokenizers/" + json_or_name + ".json";
  if (!std::filesystem::exists(path)) return nullptr;
  auto loaded = load_tokenizer_json(path);
  EXPECT_TRUE(loaded.ok()) << json_or_name;
  return loaded.ok() ? std::move(loaded).value() : nullptr;
}

Expected expected_for(const Tokenizer& m, const std::string& text) {
  Expected e;
  EXPECT_EQ(encode_text(m, text, MergeStrategy::kAuto, true, e.ordinary), nullptr);
  EXPECT_EQ(encode_with_specials(m, text, e.special), nullptr);
  e.decoded = decode_bytes(m, e.ordinary);
  e.offsets = offsets_refusal(m, text) == nullptr;
  if (e.offsets) EXPECT_EQ(encode_with_offsets(m, text, e.offset_ids, e.spans), nullptr);
  return e;
}

// A byte-level model with a split pattern, so the PCRE2 road always runs.
const char* const kSplitModel =
    R"({"normalizer":{"type":"NFC"},"pre_tokenizer":{"type":"Sequence","pretokenizers":[)"
    R"({"type":"Split","pattern":{"Regex":"\\p{N}{1,3}| ?\\p{L}+| ?[^\\s\\p{L}\\p{N}]+|\\s+"},)"
    R"("behavior":"Isolated","invert":false},{"type":"ByteLevel","use_regex":false}]},)"
    R"("decoder":{"type":"ByteLevel"},"model":{"type":"BPE","vocab":{"a":0,"b":1,"ab":2},)"
    R"("merges":["a b"]}})";

TEST(ConcurrentEncode, SharedModelsGiveSingleThreadedResults) {
  // ByteLevel with the kind-0 scanner, byte_fallback with metaspace, a split pattern.
  const std::vector<std::string> models = {kSplitModel, "gpt2", "llama2", "llama3"};
  int loaded_models = 0;
  for (const std::string& which : models) {
    std::unique_ptr<Tokenizer> model = load(which);
    if (model == nullptr) continue;
    ++loaded_models;
    ASSERT_TRUE(build_special_matcher(*model, {"<|s|>", "<|e|>"}, {7, 8}, {1, 0}, {0, 1},
                                      PrefixScheme::kFirst)
                    .ok());
    const Tokenizer& m = *model;
    std::vector<Expected> want;
    for (const std::string& t : texts()) want.push_back(expected_for(m, t));

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 8; ++k) {
      threads.emplace_back([&, k] {
        for (int round = 0; round < 3; ++round) {
          for (size_t i = 0; i < texts().size(); ++i) {
            const size_t t = (i + k) % texts().size();
            const std::string& text = texts()[t];
            std::vector<uint32_t> ids, special, offset_ids;
            std::vector<Span> spans;
            if (encode_text(m, text, MergeStrategy::kAuto, true, ids) || ids != want[t].ordinary)
              ++mismatches;
            if (encode_with_specials(m, text, special) || special != want[t].special) ++mismatches;
            if (decode_bytes(m, ids) != want[t].decoded) ++mismatches;
            if (want[t].offsets) {
              if (encode_with_offsets(m, text, offset_ids, spans) ||
                  offset_ids != want[t].offset_ids || spans != want[t].spans) {
                ++mismatches;
              }
            }
          }
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0) << (which.front() == '{' ? "split model" : which);
  }
  EXPECT_GE(loaded_models, 1);
}

}  // namespace
}  // namespace quorvane
