// Encoding with real models against ids taken from the reference library.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/encode.h"
#include "lib/loader.h"
#include "lib/offsets.h"
#include "lib/special_tokens.h"

namespace quorvane {
namespace {

// Loads each model once per test binary; null (and the test skips) without data.
const Tokenizer* model_named(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Tokenizer>> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second.get();
  const char* root = std::getenv("QUORVANE_TEST_CACHE");
  if (root == nullptr) return nullptr;
  const std::string path = std::string(root) + "/tokenizers/" + name + ".json";
  if (!std::filesystem::exists(path)) return nullptr;
  auto loaded = load_tokenizer_json(path);
  EXPECT_TRUE(loaded.ok()) << name << ": " << (loaded.ok() ? "" : loaded.error());
  if (!loaded.ok()) return nullptr;
  return (cache[name] = std::move(loaded).value()).get();
}

#define REQUIRE_MODEL(var, name)                                   \
  const Tokenizer* var = model_named(name);                        \
  if (var == nullptr) GTEST_SKIP() << "no test data for " << name; \
  (void)0

std::vector<uint32_t> encode(const Tokenizer& model, std::string_view text,
                             MergeStrategy strategy = MergeStrategy::kAuto,
                             bool add_prefix = true) {
  std::vector<uint32_t> out;
  EXPECT_EQ(encode_text(model, text, strategy, add_prefix, out), nullptr);
  return out;
}

struct Case {
  const char* model;
  std::string text;
  std::vector<uint32_t> ids;
};

const std::vector<Case>& reference_cases() {
  static const std::vector<Case> cases = {
      {"gpt2", "Hello world", {15496, 995}},
      {"gpt2", " Hello  world ", {18435, 220, 995, 220}},
      {"gpt2",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {71, 2634, 18798, 266, 30570, 335, 220, 19526, 254, 25001, 121, 220}},
      {"gpt2",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {464, 614, 48609, 25, 17031, 2231, 30924, 16326, 0, 198, 197, 482}},
      {"gpt2",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {68, 136, 223, 83, 2634, 27332, 105, 223, 11019, 223, 87, 220, 220, 5099, 222, 88}},
      {"gpt2",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {40, 1101, 220, 220, 836, 470, 201, 628, 220, 2124}},
      {"gpt2", "", {}},
      {"gpt2", " ", {220}},
      {"gpt2",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {47249, 222, 47249, 223, 257}},
      {"llama2", "Hello world", {22557, 1526}},
      {"llama2", " Hello  world ", {28705, 22557, 28705, 1526, 28705}},
      {"llama2",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {295, 28797, 584, 28709, 275, 2024, 417, 28705, 29383, 29530, 28705}},
      {"llama2",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {415,   879,   28705, 28750, 28734, 28750, 28781, 28747, 28705, 28740, 28750,
        28770, 28781, 28782, 28784, 28787, 28783, 16246, 28808, 13,    12,    493}},
      {"llama2",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {317, 28949, 11414, 28705, 30160, 28705, 1318, 259, 29351, 28724}},
      {"llama2",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {315, 28742, 28719, 259, 949, 28742, 28707, 28801, 13, 13, 28705, 1318}},
      {"llama2", "", {}},
      {"llama2", " ", {259}},
      {"llama2",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {28705, 30575, 30707, 264}},
      {"deepseek_v3", "Hello world", {19923, 2058}},
      {"deepseek_v3", " Hello  world ", {45948, 223, 2058, 223}},
      {"deepseek_v3",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {61538, 61547, 281, 6136, 514, 223, 30594, 223}},
      {"deepseek_v3",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {671, 1141, 223, 939, 22, 28, 223, 6895, 18009, 2597, 35977, 8567, 200, 633}},
      {"deepseek_v3",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {71, 17793, 86, 619, 28137, 13273, 226, 90, 262, 18524, 91}},
      {"deepseek_v3",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {43, 4571, 262, 2090, 1664, 204, 271, 223, 1527}},
      {"deepseek_v3", "", {}},
      {"deepseek_v3", " ", {223}},
      {"deepseek_v3",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {28927, 225, 28927, 226, 260}},
      {"qwen3", "Hello world", {9707, 1879}},
      {"qwen3", " Hello  world ", {21927, 220, 1879, 220}},
      {"qwen3",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {71, 18503, 385, 289, 9416, 507, 220, 108386, 220}},
      {"qwen3",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {785, 1042, 220, 17, 15, 17, 19, 25,    220,  16,
        17,  18,   19,  20, 21, 22, 23, 11211, 4894, 59268}},
      {"qwen3",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {38783, 32495, 70731, 14520, 223, 87, 256, 22441, 88}},
      {"qwen3",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {40, 2776, 256, 1513, 944, 80823, 220, 856}},
      {"qwen3", "", {}},
      {"qwen3", " ", {220}},
      {"qwen3",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {141334, 144534, 264}},
      {"gemma3", "> </", {107068}},  // one token across the U+2581
      {"gemma3", "Hello world", {9259, 1902}},
      {"gemma3", " Hello  world ", {26352, 138, 12392, 236743}},
      {"gemma3",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {236754, 7869, 844, 515, 4010, 671, 43758, 237389, 236743}},
      {"gemma3",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {818,    1051,   236743, 236778, 236771, 236778, 236812, 236787, 236743, 236770, 236778,
        236800, 236812, 236810, 236825, 236832, 236828, 21739,  236888, 107,    255968, 680}},
      {"gemma3",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {236744, 238288, 51535, 97940, 138, 236781, 138, 465, 366, 366, 236762}},
      {"gemma3",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {236777, 236789, 236757, 139, 13246, 236789, 236745, 251, 108, 138, 236781}},
      {"gemma3", "", {}},
      {"gemma3", " ", {236743}},
      {"gemma3",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {242398, 241702, 496}},
      {"llama3", "Hello world", {9906, 1917}},
      {"llama3", " Hello  world ", {22691, 220, 1917, 220}},
      {"llama3",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {71, 19010, 385, 289, 9603, 509, 118195, 53901, 220}},
      {"llama3",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {791, 1060, 220, 2366, 19, 25, 220, 4513, 10961, 2495, 11460, 4999, 60368}},
      {"llama3",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {68, 122095, 978, 33595, 71831, 14860, 223, 87, 256, 23249, 88}},
      {"llama3",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {40, 2846, 256, 1541, 956, 81923, 220, 865}},
      {"llama3", "", {}},
      {"llama3", " ", {220}},
      {"llama3",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {76460, 222, 76460, 223, 264}},
      {"gpt4o", "Hello world", {13225, 2375}},
      {"gpt4o", " Hello  world ", {32949, 220, 2375, 220}},
      {"gpt4o",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {79163, 72807, 286, 2877, 582, 220, 177519, 220}},
      {"gpt4o",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {976, 1284, 220, 1323, 19, 25, 220, 7633, 19354, 4388, 20290, 4175, 138102}},
      {"gpt4o",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {68, 13430, 54949, 99462, 39960, 87, 256, 1397, 88}},
      {"gpt4o",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {15390, 256, 4128, 46865, 220, 1215}},
      {"gpt4o", "", {}},
      {"gpt4o", " ", {220}},
      {"gpt4o",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {84083, 156437, 261}},
      {"claude", "Hello world", {10002, 2253}},
      {"claude", " Hello  world ", {25569, 225, 2253, 225}},
      {"claude",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {76, 64032, 354, 293, 11292, 507, 225, 22687, 29096, 225}},
      {"claude",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {773, 1219, 1625, 1340, 30, 11753, 8313, 1788, 8136, 5, 203, 202, 629}},
      {"claude",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {42789, 15987, 45135, 228, 92, 261, 416}},
      {"claude",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {45, 2338, 261, 1605, 828, 206, 1387, 679}},
      {"claude", "", {}},
      {"claude", " ", {225}},
      {"claude",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {57421, 227, 57421, 228, 269}},
      {"gpt35turbo", "Hello world", {9906, 1917}},
      {"gpt35turbo", " Hello  world ", {22691, 220, 1917, 220}},
      {"gpt35turbo",
       "h\xc3"
       "\xa9"
       "llo w\xc3"
       "\xb6"
       "rld \xe4"
       "\xbd"
       "\xa0"
       "\xe5"
       "\xa5"
       "\xbd"
       " ",
       {71, 19010, 385, 289, 9603, 509, 220, 57668, 53901, 220}},
      {"gpt35turbo",
       "The year 2024: 12345678 tokens!\x0a"
       "\x09"
       "ok",
       {791, 1060, 220, 2366, 19, 25, 220, 4513, 10961, 2495, 11460, 4999, 60368}},
      {"gpt35turbo",
       "e\xcc"
       "\x81"
       "t\xc3"
       "\xa9"
       " \xef"
       "\xac"
       "\x81"
       " \xe2"
       "\x96"
       "\x81"
       "x  \xe3"
       "\x80"
       "\x80"
       "y",
       {68, 54939, 83, 978, 33595, 71831, 14860, 223, 87, 256, 23249, 88}},
      {"gpt35turbo",
       "I'm   don't\x0d"
       "\x0a"
       "\x0a"
       "  x",
       {40, 2846, 256, 1541, 956, 81923, 220, 865}},
      {"gpt35turbo", "", {}},
      {"gpt35turbo", " ", {220}},
      {"gpt35turbo",
       "\xf0"
       "\x9f"
       "\x98"
       "\x80"
       "\xf0"
       "\x9f"
       "\x98"
       "\x81"
       " a",
       {76460, 222, 76460, 223, 264}},
  };
  return cases;
}

TEST(RealModels, EncodeMatchesTheReference) {
  if (std::getenv("QUORVANE_TEST_CACHE") == nullptr) GTEST_SKIP() << "QUORVANE_TEST_CACHE unset";
  for (const Case& c : reference_cases()) {
    const Tokenizer* model = model_named(c.model);
    if (model == nullptr) continue;
    for (MergeStrategy strategy :
         {MergeStrategy::kAuto, MergeStrategy::kStream, MergeStrategy::kScan}) {
      if (strategy != MergeStrategy::kAuto && !model->monotonic) continue;
      EXPECT_EQ(encode(*model, c.text, strategy), c.ids)
          << c.model << " strategy " << int(strategy) << " text \"" << c.text << "\"";
    }
  }
}

TEST(RealModels, Llama2MetaspacePrefix) {
  REQUIRE_MODEL(model, "llama2");
  const auto with = encode(*model, "Hello");
  const auto without = encode(*model, "Hello", MergeStrategy::kAuto, false);
  ASSERT_EQ(with.size(), 1u);
  EXPECT_NE(with, without);
  // The prefix is a U+2581 of its own: " Hello" gets a second one.
  EXPECT_EQ(encode(*model, " Hello", MergeStrategy::kAuto, false), with);
}

TEST(RealModels, SpecialTokensOnGpt2) {
  REQUIRE_MODEL(loaded, "gpt2");
  auto model = load_tokenizer_json(loaded->path);
  ASSERT_TRUE(model.ok());
  Tokenizer& m = *model.value();
  ASSERT_TRUE(
      build_special_matcher(m, {"<|endoftext|>"}, {50256}, {0}, {0}, PrefixScheme::kNone).ok());
  std::vector<uint32_t> out;
  ASSERT_EQ(encode_with_specials(m, "<|endoftext|>Hi", out), nullptr);
  EXPECT_EQ(out, (std::vector<uint32_t>{50256, 17250}));
  out.clear();
  ASSERT_EQ(encode_with_specials(m, "Hello world<|endoftext|>", out), nullptr);
  EXPECT_EQ(out, (std::vector<uint32_t>{15496, 995, 50256}));
}

TEST(RealModels, PrefixSchemeOnLlama2) {
  REQUIRE_MODEL(loaded, "llama2");
  auto model = load_tokenizer_json(loaded->path);
  ASSERT_TRUE(model.ok());
  Tokenizer& m = *model.value();
  const auto hello = encode(m, "Hello");
  const auto bare = encode(m, "Hello", MergeStrategy::kAuto, false);
  for (PrefixScheme scheme : {PrefixScheme::kNone, PrefixScheme::kFirst}) {
    ASSERT_TRUE(build_special_matcher(m, {"<s>"}, {1}, {0}, {0}, scheme).ok());
    std::vector<uint32_t> out;
    ASSERT_EQ(encode_with_specials(m, "Hello<s>Hello", out), nullptr);
    std::vector<uint32_t> want = hello;
    want.push_back(1);
    const auto& tail = scheme == PrefixScheme::kFirst ? bare : hello;
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(out, want) << int(scheme);
  }
}

TEST(RealModels, OffsetsAgreeWithEncode) {
  for (const Case& c : reference_cases()) {
    const Tokenizer* model = model_named(c.model);
    if (model == nullptr || offsets_refusal(*model, c.text) != nullptr) continue;
    std::vector<uint32_t> ids;
    std::vector<Span> spans;
    ASSERT_EQ(encode_with_offsets(*model, c.text, ids, spans), nullptr);
    EXPECT_EQ(ids, c.ids) << c.model << " \"" << c.text << "\"";
    ASSERT_EQ(spans.size(), ids.size());
    uint64_t at = 0;
    for (const Span& s : spans) {
      EXPECT_GE(s.start, at);
      EXPECT_GT(s.end, s.start);
      at = s.end;
    }
    EXPECT_LE(at, c.text.size());
  }
}

TEST(RealModels, ByteFallbackModelsAreRefusedOffsets) {
  REQUIRE_MODEL(model, "llama2");
  ASSERT_NE(offsets_refusal(*model, "x"), nullptr);
  EXPECT_EQ(std::string(offsets_refusal(*model, "x")).rfind("encode_with_offsets is only", 0), 0u);
}

// Long texts without any natural cut. Run only with QUORVANE_SLOW set; prints the
// time of each encode (the assertions only check that every byte is accounted for).
TEST(RealModels, LongUncutTexts) {
  if (std::getenv("QUORVANE_SLOW") == nullptr) GTEST_SKIP() << "set QUORVANE_SLOW to run";
  std::string letters;
  for (size_t i = 0; letters.size() < 10'000'000; ++i)
    letters += "abcdefghijklmnopqrstuvwxyz"[i * 7 % 26];
  const std::string digits(10'000'000, '7');
  std::string cjk;
  while (cjk.size() < 3'000'000)
    cjk += "\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c\xe6\x97\xa5";
  for (const char* name : {"gpt2", "deepseek_v3", "llama2"}) {
    const Tokenizer* model = model_named(name);
    if (model == nullptr) continue;
    for (const auto& [label, text] :
         {std::pair<const char*, const std::string*>{"letters", &letters},
          {"digits", &digits},
          {"cjk", &cjk}}) {
      const auto t0 = std::chrono::steady_clock::now();
      const auto ids = encode(*model, *text);
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      std::printf("%-12s %-8s %9zu bytes -> %8zu ids in %.2f s\n", name, label, text->size(),
                  ids.size(), s);
      EXPECT_FALSE(ids.empty());
    }
  }
}

}  // namespace
}  // namespace quorvane
