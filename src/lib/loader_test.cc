#include "lib/loader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "lib/decode.h"
#include "lib/test_models.h"
#include "unicode/utf8.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

constexpr const char* kByteLevelPre = R"("pre_tokenizer": {"type": "ByteLevel"})";

std::string error_of(std::string_view json) {
  auto r = load_tokenizer_json_text("t.json", json);
  return r ? std::string("<loaded>") : r.error();
}

std::string error_of_file(const std::string& path) {
  auto r = load_tokenizer_json(path);
  return r ? std::string("<loaded>") : r.error();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/loader_test_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(dir_); }
  std::string write(const std::string& name, std::string_view bytes) const {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
    return path;
  }
  const std::string& path() const { return dir_; }

 private:
  std::string dir_;
};

TEST(LoaderRefusals, FileErrorsNameThePathAndReason) {
  TempDir tmp;
  EXPECT_EQ(error_of_file(tmp.path() + "/missing.json"),
            "cannot read " + tmp.path() + "/missing.json: No such file or directory (os error 2)");
  EXPECT_EQ(error_of_file(tmp.path()),
            "cannot read " + tmp.path() + ": Is a directory (os error 21)");
  EXPECT_EQ(error_of_file(std::string("a\0b.json", 8)),
            std::string("cannot read a\0b.json: file name contained an unexpected NUL byte", 64));
  const std::string latin1 = tmp.write("latin1.json", "{\"model\": \"\xE9\"}");
  EXPECT_EQ(error_of_file(latin1),
            "cannot read " + latin1 + ": stream did not contain valid UTF-8");
  EXPECT_EQ(error_of_file(tmp.write("empty.json", "")),
            "bad JSON: EOF while parsing a value at line 1 column 0");
}

TEST(LoaderRefusals, BadJsonCarriesLineAndColumn) {
  EXPECT_EQ(error_of("{\"model\": {}}\n  x"), "bad JSON: trailing characters at line 2 column 3");
  EXPECT_EQ(error_of("{\"a\": 1,}"), "bad JSON: key must be a string at line 1 column 9");
  EXPECT_EQ(error_of("\xEF\xBB\xBF{\"model\": {}}"), "bad JSON: expected value at line 1 column 1");
  EXPECT_EQ(error_of(std::string("{\"model\": {}}\0", 14)),
            "bad JSON: trailing characters at line 1 column 14");
  EXPECT_EQ(error_of("{\"model\": {}, \"pre_tokenizer\": {\"type\": \"ByteLevel\"}} \t\r\n"),
            "no vocab");
}

TEST(LoaderRefusals, NestingLimit) {
  const auto nested = [](size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_EQ(error_of(nested(127)), "no model");
  EXPECT_EQ(error_of(nested(128)), "bad JSON: recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(nested(200000)), "bad JSON: recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(std::string(200000, '{')),
            "bad JSON: key must be a string at line 1 column 2");
}

TEST(LoaderRefusals, OrderOfRefusals) {
  EXPECT_EQ(error_of("[]"), "no model");
  EXPECT_EQ(error_of(R"({"Model": {}})"), "no model");
  // The normalizer is checked before the pre-tokenizer, and both before "vocab".
  EXPECT_EQ(error_of(R"({"model": 1, "normalizer": {"type": "Strip"}})"),
            "unsupported normalizer stage \"Strip\": this model rewrites text in a way quorvane "
            "does not reproduce (only NFC/NFD/NFKC/NFKD and the SentencePiece metaspace "
            "Prepend/Replace are modeled)");
  EXPECT_EQ(error_of(R"({"model": 1})"), "unsupported pre_tokenizer (ByteLevel or byte_fallback)");
  EXPECT_EQ(error_of(R"({"model": {"byte_fallback": true, "vocab": {}},
                        "pre_tokenizer": {"type": "ByteLevel"}})"),
            "unsupported pre_tokenizer for byte_fallback model (cannot be reproduced; refusing "
            "to mistokenize)");
  EXPECT_EQ(error_of(R"({"model": {"byte_fallback": true, "vocab": {}},
      "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
        {"type": "Split", "behavior": "Isolated", "pattern": {"Regex": "a(\"\n"}}]}})"),
            "cannot compile split regex \"a(\\\"\\n\": missing closing parenthesis at offset 4");
  EXPECT_EQ(error_of(std::string("{\"model\": \"x\", ") + kByteLevelPre + "}"), "no vocab");
  EXPECT_EQ(error_of(std::string("{\"model\": {\"vocab\": []}, ") + kByteLevelPre + "}"),
            "no vocab");
  EXPECT_EQ(error_of(R"({"model": {"byte_fallback": true}})"), "no vocab");
}

TEST(LoaderRefusals, IdsThatCannotBeTableIndices) {
  const std::string pre = std::string(", ") + kByteLevelPre + "}";
  EXPECT_EQ(error_of(R"({"model": {"vocab": {"a": 8589934592}})" + pre),
            "vocab id 8589934592 is out of range (ids must be below 2^31)");
  EXPECT_EQ(error_of(R"({"model": {"vocab": {"a": 2147483648}})" + pre),
            "vocab id 2147483648 is out of range (ids must be below 2^31)");
  EXPECT_EQ(error_of(R"({"model": {"vocab": {}}, "added_tokens": [{"id": 1099511627776}])" + pre),
            "added_tokens id 1099511627776 is out of range (ids must be below 2^31)");
  // A sparse vocabulary with a huge id would allocate gigabytes for a tiny file.
  EXPECT_EQ(error_of(R"({"model": {"vocab": {"a": 50000000}})" + pre),
            "vocabulary ids reach 50000000 but only 1 tokens are given (a vocabulary this sparse "
            "is refused)");
  EXPECT_EQ(
      error_of(R"({"model": {"vocab": {"a": 0}}, "added_tokens": [{"id": 2000000000}])" + pre),
      "vocabulary ids reach 2000000000 but only 2 tokens are given (a vocabulary this sparse "
      "is refused)");
  // Gaps are fine up to 2^22 ids, and beyond that while a quarter of the ids are named.
  auto gappy = load_tokenizer_json_text("t.json", R"({"model": {"vocab": {"a": 4194303}})" + pre);
  ASSERT_TRUE(gappy) << gappy.error();
  EXPECT_EQ(gappy.value()->n_vocab, 4194304u);
  // Not an integer: read as id 0 (vocab) or skipped (added tokens), as any irregular value.
  auto ok = load_tokenizer_json_text(
      "t.json", R"({"model": {"vocab": {"a": 1e300, "b": 18446744073709551616}},
                   "added_tokens": [{"id": 1e300, "content": "x"}])" +
                    pre);
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(ok.value()->n_vocab, 1u);
}

TEST(LoaderHostile, OddShapesNeverCrash) {
  const std::string pre = std::string(", ") + kByteLevelPre + "}";
  for (const std::string& json : std::vector<std::string>{
           R"({"model": "x"})" + pre,
           R"({"model": {"vocab": [["a", 0]]}})" + pre,
           R"({"model": {"vocab": {"a": 0}, "merges": 5}, "added_tokens": {}})" + pre,
           R"({"model": {"vocab": {"a": -1, "b": "1", "c": null, "d": [], "e": {}}}})" + pre,
           R"({"model": {"vocab": {"a": 0}, "merges": [null, [], ["a"], ["a", 5], 7, "ab"]},
              "added_tokens": [1, null, {"id": -1, "content": "q"}, {"id": 0, "content": 5}]})" +
               pre,
           R"({"normalizer": [], "model": {"vocab": {}}})" + pre,
           std::string(R"({"pre_tokenizer": {"type": "Sequence", "pretokenizers": [1, {}, null]},
               "model": {"vocab": {}}})"),
       }) {
    (void)load_tokenizer_json_text("t.json", json);
  }
  // A million merges that name unknown tokens resolve to nothing.
  std::string json = R"({"model": {"vocab": {"a": 0}, "merges": [)";
  for (int i = 0; i < 1000000; ++i) json += i == 0 ? "\"x y\"" : ",\"x y\"";
  json += "]}" + pre;
  auto r = load_tokenizer_json_text("t.json", json);
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r.value()->stream.rules.empty());
}

TEST(LoaderModel, EmptyVocabularyModel) {
  auto r = load_tokenizer_json_text(
      "some/path.json", std::string("{\"model\": {\"vocab\": {}}, ") + kByteLevelPre + "}");
  ASSERT_TRUE(r) << r.error();
  const Tokenizer& m = *r.value();
  EXPECT_EQ(m.path, "some/path.json");
  EXPECT_EQ(m.n_vocab, 1u);
  EXPECT_EQ(m.token_bytes.spans.size(), 1u);
  const uint32_t id0 = 0;
  EXPECT_EQ(decode_bytes(m, {&id0, 1}), "");
  EXPECT_EQ(testing::describe(m.pre_tokenizer), "scan 0 0 0");
  EXPECT_FALSE(m.byte_fallback);
  EXPECT_FALSE(m.special_matcher);
  EXPECT_TRUE(m.special_ids.empty());
  EXPECT_EQ(m.prefix_scheme, PrefixScheme::kNone);
  EXPECT_EQ(m.merges.slot_count(), 16u);
  EXPECT_TRUE(m.monotonic);
}

TEST(LoaderModel, MergesResolveAgainstVocabOnly) {
  auto r = load_tokenizer_json_text("t.json", R"({
      "model": {"vocab": {"a": 0, "b": 1, "ab": 2, "c": 3}, "merges": ["a b", "a c", ["ab", "c"]],
                "ignore_merges": true},
      "added_tokens": [{"id": 4, "content": "abc"}],
      "pre_tokenizer": {"type": "ByteLevel"}})");
  ASSERT_TRUE(r) << r.error();
  const Tokenizer& m = *r.value();
  ASSERT_EQ(m.stream.rules.size(), 1u);  // "abc" is only an added token
  EXPECT_EQ(m.merges.find(0, 1).rank, 0u);
  EXPECT_EQ(m.merges.find(0, 1).merged, 2u);
  ASSERT_TRUE(m.piece_ids.has_value());
  // Whole pieces come from "vocab" alone.
  EXPECT_EQ(m.piece_ids->at(std::string_view("ab")), 2u);
  EXPECT_FALSE(m.piece_ids->contains(std::string_view("abc")));
  EXPECT_EQ(m.stream.first_rule.size(), 5u);
}

// The real tokenizer.json files of the shared test data.
class RealTokenizers : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* cache = std::getenv("QUORVANE_TEST_CACHE");
    if (cache == nullptr) GTEST_SKIP() << "QUORVANE_TEST_CACHE is not set";
    dir_ = std::string(cache) + "/tokenizers";
    if (!fs::is_directory(dir_)) GTEST_SKIP() << dir_ << " is missing";
  }
  std::unique_ptr<Tokenizer> load(const std::string& name) {
    auto r = load_tokenizer_json(dir_ + "/" + name + ".json");
    EXPECT_TRUE(r) << r.error();
    return r ? std::move(r).value() : nullptr;
  }
  std::string dir_;
};

TEST_F(RealTokenizers, EachGetsItsPreTokenizerChoice) {
  struct Row {
    const char* name;
    const char* road;
    bool byte_fallback;
    NormalizerKind norm;
    bool strip;
    bool pieces;
  };
  const Row rows[] = {
      {"gpt2", "scan 0 0 0", false, kNormNone, false, false},
      {"claude", "scan 0 0 0", false, kNormNFKC, false, false},
      {"gpt35turbo", "scan 1 0 3", false, kNormNone, false, false},
      {"gpt4o", "scan 2 1 3", false, kNormNone, false, false},
      {"llama3", "scan 1 0 3", false, kNormNone, false, true},
      {"qwen3", "scan 1 0 1", false, kNormNFC, false, false},
      {"deepseek_v3", "cjk", false, kNormNone, false, false},
      {"llama2", "words 1", true, kNormNone, true, false},
      {"gemma3", "words 0", true, kNormNone, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto m = load(row.name);
    if (!m) continue;
    EXPECT_EQ(testing::describe(m->pre_tokenizer), row.road);
    EXPECT_EQ(m->byte_fallback, row.byte_fallback);
    EXPECT_EQ(m->normalizer_kind, row.norm);
    EXPECT_EQ(m->decode.strip_content == " " && m->decode.strip_start == 1, row.strip);
    EXPECT_EQ(m->piece_ids.has_value(), row.pieces);
    EXPECT_GT(m->stream.rules.size(), 0u);
  }
}

// Bytes a vocabulary text stands for, computed independently of the loader.
std::string expected_bytes(std::string_view text, bool byte_fallback) {
  if (byte_fallback) {
    if (text.size() == 6 && text.substr(0, 3) == "<0x" && text[5] == '>' &&
        std::isxdigit(static_cast<unsigned char>(text[3])) &&
        std::isxdigit(static_cast<unsigned char>(text[4]))) {
      return std::string(1,
                         static_cast<char>(std::stoi(std::string(text.substr(3, 2)), nullptr, 16)));
    }
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text.substr(i, 3) == "\xE2\x96\x81") {
        out += ' ';
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  }
  // GPT-2's printable-byte alphabet.
  static const std::map<uint32_t, uint8_t> alphabet = [] {
    std::map<uint32_t, uint8_t> a;
    int n = 0;
    for (int b = 0; b < 256; ++b) {
      const bool printable = (b >= '!' && b <= '~') || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
      a[printable ? b : 256 + n++] = static_cast<uint8_t>(b);
    }
    return a;
  }();
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto [cp, len] = utf8::decode_or_byte(text, i);
    const auto hit = alphabet.find(cp);
    if (len > 1 && hit != alphabet.end()) {
      out += static_cast<char>(hit->second);
    } else {
      out += text.substr(i, len);
    }
    i += len;
  }
  return out;
}

TEST_F(RealTokenizers, EveryIdHasItsVocabularyBytes) {
  for (const char* name : {"gpt2", "claude", "gpt35turbo", "gpt4o", "llama3", "qwen3",
                           "deepseek_v3", "llama2", "gemma3"}) {
    SCOPED_TRACE(name);
    auto m = load(name);
    if (!m) continue;
    std::ifstream in(dir_ + "/" + name + ".json", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    rapidjson::Document doc;
    doc.Parse(text.data(), text.size());
    ASSERT_FALSE(doc.HasParseError());
    std::vector<uint8_t> from_vocab(m->n_vocab, 0);
    size_t mismatches = 0;
    for (const auto& e : doc["model"]["vocab"].GetObject()) {
      const uint32_t id = e.value.GetUint();
      from_vocab[id] = 1;
      const std::string want = expected_bytes(
          std::string_view(e.name.GetString(), e.name.GetStringLength()), m->byte_fallback);
      if (m->token_bytes.bytes_of(id) != want) ++mismatches;
    }
    if (doc.HasMember("added_tokens")) {
      for (const auto& t : doc["added_tokens"].GetArray()) {
        const uint32_t id = t["id"].GetUint();
        if (from_vocab[id]) continue;
        if (m->token_bytes.bytes_of(id) != t["content"].GetString()) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

}  // namespace
}  // namespace quorvane
