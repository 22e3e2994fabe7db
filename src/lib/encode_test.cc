#include "lib/encode.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/piece_cache.h"
#include "lib/test_models.h"
#include "lib/whole_pieces.h"
#include "pretok/scanner.h"

namespace quorvane {
namespace {

using testing::byte_model;

const std::string kMeta = "\xE2\x96\x81";

std::vector<uint32_t> encode(const Tokenizer& model, std::string_view text, bool add_prefix = true,
                             MergeStrategy strategy = MergeStrategy::kAuto) {
  std::vector<uint32_t> out;
  EXPECT_EQ(encode_text(model, text, strategy, add_prefix, out), nullptr);
  return out;
}

// Encodes in a metaspace mode with a whole-piece map holding the expected words,
// and spells the result back: a word found whole shows as itself, bytes that were
// not found whole show between brackets.
std::vector<std::string> words(MetaspaceMode mode, bool add_prefix, std::string_view text,
                               const std::vector<std::string>& expected) {
  auto model = byte_model(expected);
  model->pre_tokenizer = MetaspaceWords{mode};
  model->piece_ids.emplace();
  for (size_t i = 0; i < expected.size(); ++i) (*model->piece_ids)[expected[i]] = 256 + i;
  std::vector<std::string> got;
  std::string loose;
  for (uint32_t id : encode(*model, text, add_prefix)) {
    if (id >= 256) {
      if (!loose.empty()) got.push_back("[" + loose + "]");
      loose.clear();
      got.emplace_back(model->token_bytes.bytes_of(id));
    } else {
      loose.push_back(static_cast<char>(id));
    }
  }
  if (!loose.empty()) got.push_back("[" + loose + "]");
  return got;
}

using Words = std::vector<std::string>;

TEST(Metaspace, PrefixByMode) {
  const std::string hello = kMeta + "Hello";
  for (MetaspaceMode mode : {MetaspaceMode::kPrepend, MetaspaceMode::kPreTokenizer}) {
    EXPECT_EQ(words(mode, true, "Hello", {hello}), Words{hello}) << int(mode);
    EXPECT_EQ(words(mode, true, hello, {kMeta + hello, hello}),
              Words{mode == MetaspaceMode::kPrepend ? kMeta + hello : hello})
        << int(mode);
    EXPECT_EQ(words(mode, false, "Hello", {"Hello"}), Words{"Hello"}) << int(mode);
  }
  EXPECT_EQ(words(MetaspaceMode::kPreTokenizer, true, " Hello", {hello}), Words{hello});
  EXPECT_EQ(words(MetaspaceMode::kPrepend, true, " Hello", {kMeta + hello}), Words{kMeta + hello});
  EXPECT_EQ(words(MetaspaceMode::kReplace, true, "Hello", {"Hello"}), Words{"Hello"});
  EXPECT_EQ(words(MetaspaceMode::kReplace, true, " Hello", {hello}), Words{hello});
  EXPECT_EQ(words(MetaspaceMode::kPreTokenizer, true, "h", {kMeta + "h"}),
            Words{kMeta + "h"});  // shorter than 3 bytes
}

TEST(Metaspace, WordCuts) {
  const Words want = {kMeta + "Hello", kMeta + kMeta + "world", kMeta};
  EXPECT_EQ(words(MetaspaceMode::kReplace, true, " Hello  world ", want), want);
  EXPECT_EQ(words(MetaspaceMode::kPreTokenizer, true, "a  b", {kMeta + "a", kMeta + kMeta + "b"}),
            (Words{kMeta + "a", kMeta + kMeta + "b"}));
  EXPECT_EQ(words(MetaspaceMode::kPreTokenizer, true, "   ", {kMeta + kMeta + kMeta}),
            Words{kMeta + kMeta + kMeta});
  EXPECT_EQ(words(MetaspaceMode::kPrepend, false, "a b", {"a", kMeta + "b"}),
            (Words{"a", kMeta + "b"}));
  // Tabs and newlines stay and do not end a word; other spaces are not replaced.
  EXPECT_EQ(
      words(MetaspaceMode::kPreTokenizer, true, "a\tb\nc d", {kMeta + "a\tb\nc", kMeta + "d"}),
      (Words{kMeta + "a\tb\nc", kMeta + "d"}));
  EXPECT_EQ(words(MetaspaceMode::kReplace, true,
                  "a\xC2\xA0"
                  "b",
                  {"a\xC2\xA0"
                   "b"}),
            Words{"a\xC2\xA0"
                  "b"});
}

TEST(Metaspace, EmptyTextGivesNothing) {
  for (MetaspaceMode mode :
       {MetaspaceMode::kReplace, MetaspaceMode::kPrepend, MetaspaceMode::kPreTokenizer}) {
    EXPECT_TRUE(words(mode, true, "", {kMeta}).empty());
  }
  auto model = byte_model();
  model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kPreTokenizer};
  model->normalizer_kind = kNormNFC;
  EXPECT_TRUE(encode(*model, "").empty());
}

TEST(Metaspace, NoWordCutWhereAMergeJoinsAcrossIt) {
  auto model = byte_model({"\xE2\x96", kMeta, "a" + kMeta},
                          {{"\xE2", "\x96"}, {"\xE2\x96", "\x81"}, {"a", kMeta}});
  model->pre_tokenizer = MetaspaceWords{};
  const std::array<bool, 256> joins = metaspace_join_bytes(*model);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(joins[b], b == 'a') << b;
  EXPECT_EQ(encode(*model, "a b"), (std::vector<uint32_t>{'a', 257, 'b'}));
  model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kReplace, false, joins};
  EXPECT_EQ(encode(*model, "a b"), (std::vector<uint32_t>{258, 'b'}));
  // Only the cut after 'a' is withheld: "b a" still cuts before its U+2581.
  EXPECT_EQ(encode(*model, "b a b"), (std::vector<uint32_t>{'b', 257, 258, 'b'}));
  const std::array<bool, 256> none = metaspace_join_bytes(*byte_model(
      {"\xE2\x96", kMeta, kMeta + "a"}, {{"\xE2", "\x96"}, {"\xE2\x96", "\x81"}, {kMeta, "a"}}));
  for (bool j : none) EXPECT_FALSE(j);
}

TEST(EncodeText, AppendsToTheCallersVector) {
  auto model = byte_model({"ab"}, {{"a", "b"}});
  std::vector<uint32_t> out = {7};
  ASSERT_EQ(encode_text(*model, "ab", MergeStrategy::kAuto, true, out), nullptr);
  EXPECT_EQ(out, (std::vector<uint32_t>{7, 256}));
}

TEST(EncodeText, ByteLevelPiece) {
  auto model = byte_model({"ab", "abc"}, {{"a", "b"}, {"ab", "c"}});
  EXPECT_EQ(encode(*model, "abcab"), (std::vector<uint32_t>{257, 256}));
  EXPECT_TRUE(encode(*model, "").empty());
  // A byte without an id is dropped, and the bytes around it still merge.
  model->byte_ids['x'] = -1;
  EXPECT_EQ(encode(*model, "axb"), (std::vector<uint32_t>{256}));
  EXPECT_TRUE(encode(*model, "xxx").empty());
}

// Long texts of many pieces (the GPT-2 scanner of a bare model), some merged
// and remembered, some whole, some of more ids than fit where the encoder
// gathers them: the ids are those of the pieces encoded one at a time, in order.
TEST(EncodeText, LongTextGivesItsPiecesIdsInOrder) {
  auto model =
      byte_model({"ab", "abc", "ca", " ab"}, {{"a", "b"}, {"ab", "c"}, {"c", "a"}, {" ", "ab"}});
  model->whole_pieces = WholePieces::build(*model);
  model->cache_serial = next_model_serial();
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::string text;
    while (text.size() < 6000) {
      const size_t len = rng() % 8 == 0 ? 300 + rng() % 400 : 1 + rng() % 12;
      std::string word = rng() % 2 ? " " : "";
      for (size_t i = 0; i < len; ++i) word += "abcx"[rng() % 4];
      text += word + (rng() % 3 == 0 ? ".\n" : "");
    }
    std::vector<uint32_t> expected;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t pos = 0; pos < text.size();) {
      const size_t end = next_piece_end(ScannerSpec{}, bytes, text.size(), pos);
      const std::vector<uint32_t> piece = encode(*model, text.substr(pos, end - pos));
      expected.insert(expected.end(), piece.begin(), piece.end());
      pos = end;
    }
    EXPECT_EQ(encode(*model, text), expected);
    EXPECT_EQ(encode(*model, text, true, MergeStrategy::kScan), expected);
  }
}

TEST(EncodeText, WholePieceWinsOverMerges) {
  auto model = byte_model({"ab", "abc"}, {{"a", "b"}});
  model->piece_ids.emplace();
  (*model->piece_ids)[std::string("abc")] = 257;
  EXPECT_EQ(encode(*model, "abc"), (std::vector<uint32_t>{257}));
  EXPECT_EQ(encode(*model, "abca"), (std::vector<uint32_t>{256, 'c', 'a'}));
}

TEST(EncodeText, NormalizesFirst) {
  auto model = byte_model({"\xC3\xA9"}, {{"\xC3", "\xA9"}});
  model->normalizer_kind = kNormNFC;
  EXPECT_EQ(encode(*model, "e\xCC\x81"), (std::vector<uint32_t>{256}));
  model->normalizer_kind = kNormNone;
  EXPECT_EQ(encode(*model, "e\xCC\x81"), (std::vector<uint32_t>{'e', 0xCC, 0x81}));
}

// A byte_fallback model: ids 0..255 are the byte tokens, 'a' and 'b' have ASCII ids,
// U+00E9 a character id.
std::unique_ptr<Tokenizer> fallback_model() {
  auto model = byte_model({"a", "b", "\xC3\xA9", "\xE2\x82"}, {{"\xE2", "\x82"}});
  model->byte_fallback = true;
  model->pre_tokenizer = WholeText{};
  model->ascii_ids['a'] = 256;
  model->ascii_ids['b'] = 257;
  model->char_ids[0xE9] = 258;
  model->char_table = CharIdTable::build(model->char_ids);
  return model;
}

TEST(ByteFallback, CharactersThenBytesThenMerges) {
  auto model = fallback_model();
  // U+20AC has no character id: its three bytes stand in, and two of them merge.
  EXPECT_EQ(encode(*model, "ab\xE2\x82\xAC\xC3\xA9z"),
            (std::vector<uint32_t>{256, 257, 259, 0xAC, 258, 'z'}));
  // The whole text is one piece, spaces included.
  EXPECT_EQ(encode(*model, "a b"), (std::vector<uint32_t>{256, ' ', 257}));
  model->byte_ids['z'] = -1;
  EXPECT_EQ(encode(*model, "zaz"), (std::vector<uint32_t>{256}));
}

TEST(ByteFallback, IllFormedBytesFallBackToByteIds) {
  auto model = fallback_model();
  model->char_ids[0xC3] = 300;  // must not be taken for the lone byte C3
  model->char_table = CharIdTable::build(model->char_ids);
  EXPECT_EQ(encode(*model,
                   "\xC3"
                   "a\xED\xA0\x80"),
            (std::vector<uint32_t>{0xC3, 256, 0xED, 0xA0, 0x80}));
}

TEST(ByteFallback, NeverUsesThePieceMap) {
  auto model = fallback_model();
  model->piece_ids.emplace();
  (*model->piece_ids)[std::string("ab")] = 300;
  EXPECT_EQ(encode(*model, "ab"), (std::vector<uint32_t>{256, 257}));
  model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kPreTokenizer};
  (*model->piece_ids)[kMeta + "ab"] = 300;
  EXPECT_EQ(encode(*model, "ab"), (std::vector<uint32_t>{0xE2, 0x96, 0x81, 256, 257}));
}

TEST(ByteFallback, EncodeBytesFallbackDirectly) {
  auto model = fallback_model();
  MergeScratch scratch;
  encode_byte_fallback(*model, "", scratch, MergeStrategy::kAuto);
  EXPECT_TRUE(scratch.output.empty());
  encode_byte_fallback(*model,
                       "\xC3\xA9"
                       "b",
                       scratch, MergeStrategy::kAuto);
  EXPECT_EQ(scratch.output, (std::vector<uint32_t>{258, 257}));
}

// Up to n_rules random merges of two of `tokens` (ids with their texts) that
// make a text not yet in `extra`: each new text is appended to `extra`, with
// the id 255 + its place there, and to `tokens`.
std::vector<MergeRule> random_rules(std::mt19937& rng, size_t n_rules,
                                    std::vector<std::pair<uint32_t, std::string>>& tokens,
                                    std::vector<std::string>& extra) {
  std::vector<MergeRule> rules;
  for (size_t k = 0; k < 4 * n_rules && rules.size() < n_rules; ++k) {
    const auto& [left, left_text] = tokens[rng() % tokens.size()];
    const auto& [right, right_text] = tokens[rng() % tokens.size()];
    const std::string text = left_text + right_text;
    if (std::find(extra.begin(), extra.end(), text) != extra.end()) continue;
    extra.push_back(text);
    const auto merged = static_cast<uint32_t>(255 + extra.size());
    rules.push_back({left, right, merged});
    tokens.emplace_back(merged, text);
  }
  return rules;
}

// Random byte_fallback models over a few characters (newline, U+00DF and U+20AC
// only as their byte tokens; U+00E9 and U+2581 as characters) with random
// merges, some on byte tokens: words cut between the characters that no merge
// joins give the ids of the whole words, and the cuts do happen.
TEST(ByteFallback, WordsCutWhereNoMergeJoinsGiveTheWholeWordsIds) {
  std::mt19937 rng(5);
  // Token bytes show U+2581 as a space, as a loaded model's do.
  const std::vector<std::string> chars = {"a", "b", ".", "-", "\xC3\xA9", " "};
  const std::vector<std::string> text_chars = {"a", "b",  ".",        "-",           "\xC3\xA9",
                                               " ", "\n", "\xC3\x9F", "\xE2\x82\xAC"};
  size_t cuts_seen = 0;
  for (int round = 0; round < 80; ++round) {
    std::vector<std::string> extra = chars;
    // Tokens to merge: the characters' ids, some byte tokens.
    std::vector<std::pair<uint32_t, std::string>> tokens;
    for (size_t i = 0; i < extra.size(); ++i) tokens.emplace_back(256 + i, extra[i]);
    for (int byte : {0x0A, 0xC3, 0x9F, 0xE2}) {
      tokens.emplace_back(byte, std::string(1, static_cast<char>(byte)));
    }
    std::vector<MergeRule> rules = random_rules(rng, 4 + rng() % 24, tokens, extra);
    auto model = byte_model(extra);
    model->byte_fallback = true;
    for (size_t i = 0; i < 4; ++i) {
      model->ascii_ids[static_cast<uint8_t>(chars[i][0])] = static_cast<int32_t>(256 + i);
    }
    model->char_ids[0xE9] = 260;
    model->char_ids[0x2581] = 261;
    model->char_table = CharIdTable::build(model->char_ids);
    model->merges = MergeMap::build(rules);
    model->monotonic = merges_are_monotonic(rules, model->n_vocab);
    model->stream = StreamTables::build(std::move(rules), model->n_vocab);
    MetaspaceWords whole_words;
    MetaspaceWords cut = whole_words;
    cut.cuts = cut_pairs(*model);
    for (uint64_t w : cut.cuts) cut.any_cut |= w != 0;
    // The cut words' pieces are also looked up in the whole-piece table and
    // the piece cache (twice, the second time from the cache), by the hashes
    // the encoder computes ahead: they must find the same ids.
    const WholePieces whole_pieces = WholePieces::build_byte_fallback(*model);
    const uint32_t serial = next_model_serial();
    for (int t = 0; t < 40; ++t) {
      std::string text;
      for (size_t len = rng() % 20; len > 0; --len) text += text_chars[rng() % text_chars.size()];
      model->pre_tokenizer = whole_words;
      model->whole_pieces = WholePieces();
      model->cache_serial = 0;
      const std::vector<uint32_t> expected = encode(*model, text);
      model->pre_tokenizer = cut;
      EXPECT_EQ(encode(*model, text), expected) << "round " << round << " text " << text;
      model->whole_pieces = whole_pieces;
      model->cache_serial = serial;
      for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(encode(*model, text), expected) << "round " << round << " text " << text;
      }
      for (size_t i = 1; i < text.size(); ++i) {
        const unsigned pair =
            static_cast<uint8_t>(text[i - 1]) << 8 | static_cast<uint8_t>(text[i]);
        const bool cut_here = (cut.cuts[pair >> 6] >> (pair & 63) & 1) != 0;
        EXPECT_FALSE(cut_here && (static_cast<uint8_t>(text[i]) & 0xC0) == 0x80) << text;
        cuts_seen += cut_here;
      }
    }
  }
  EXPECT_GT(cuts_seen, 1000u);
}

// On a bucketed merge table the metaspace words' short pieces are held back and
// merged several at a time, their ids waiting in the output: whatever lies
// between them (longer pieces, single ids, cache and whole-piece hits, the end
// of the text), they give the ids of the linear table, which merges each piece
// as it comes.
TEST(ByteFallback, PiecesMergedSeveralAtATimeKeepTheirPlaces) {
  std::mt19937 rng(9);
  const std::vector<std::string> letters = {"a", "b", "c", "d", "\xC3\xA9"};
  for (int round = 0; round < 30; ++round) {
    std::vector<std::string> extra = letters;
    std::vector<std::pair<uint32_t, std::string>> tokens;
    for (size_t i = 0; i < extra.size(); ++i) tokens.emplace_back(256 + i, extra[i]);
    tokens.emplace_back(0xC3, "\xC3");
    std::vector<MergeRule> rules = random_rules(rng, 10 + rng() % 40, tokens, extra);
    auto model = byte_model(extra);
    model->byte_fallback = true;
    for (size_t i = 0; i < 4; ++i) {
      model->ascii_ids[static_cast<uint8_t>(letters[i][0])] = static_cast<int32_t>(256 + i);
    }
    model->char_ids[0xE9] = 260;
    model->char_table = CharIdTable::build(model->char_ids);
    model->pre_tokenizer = MetaspaceWords{MetaspaceMode::kPreTokenizer};
    model->monotonic = false;
    model->ascii_pairs = ascii_pair_ranks(*model);
    const MergeMap linear = MergeMap::build(rules, model->n_vocab);
    const MergeMap bucketed =
        MergeMap::build(rules, model->n_vocab, nullptr, MergeLayout::kBuckets);
    ASSERT_TRUE(bucketed.bucketed());
    model->stream = StreamTables::build(std::move(rules), model->n_vocab);
    const WholePieces whole_pieces = WholePieces::build_byte_fallback(*model);
    const uint32_t serial = next_model_serial();
    for (int t = 0; t < 20; ++t) {
      // Words of up to 40 letters: pieces of one id, of a few and of more than
      // one merge of several takes.
      std::string text;
      for (size_t word = rng() % 60; word > 0; --word) {
        const size_t len = rng() % 4 == 0 ? rng() % 41 : rng() % 8;
        for (size_t i = 0; i < len; ++i) text += letters[rng() % letters.size()];
        text += ' ';
      }
      model->merges = linear;
      model->whole_pieces = WholePieces();
      model->cache_serial = 0;
      const std::vector<uint32_t> expected = encode(*model, text);
      model->merges = bucketed;
      EXPECT_EQ(encode(*model, text), expected) << "round " << round << " text " << text;
      // With the caches, held pieces are remembered when merged: the second
      // pass takes them from the cache.
      model->whole_pieces = whole_pieces;
      model->cache_serial = serial;
      for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(encode(*model, text), expected) << "round " << round << " text " << text;
      }
    }
  }
}

// No cut where a character may become the unknown id, or with "ignore_merges".
TEST(ByteFallback, NoWordCutsWithoutEveryByteOrWithWholeWordIds) {
  auto model = fallback_model();
  auto any_cut = [&] {
    for (uint64_t w : cut_pairs(*model)) {
      if (w != 0) return true;
    }
    return false;
  };
  EXPECT_TRUE(any_cut());
  model->piece_ids.emplace();
  EXPECT_FALSE(any_cut());
  model->piece_ids.reset();
  model->byte_ids['z'] = -1;
  EXPECT_FALSE(any_cut());
}

std::vector<uint32_t> ids_of(std::string_view bytes) {
  std::vector<uint32_t> out;
  for (const char c : bytes) out.push_back(static_cast<uint8_t>(c));
  return out;
}

TEST(NormalizerRewrite, SpacesAndPrependBeforeTheScanner) {
  auto model = byte_model();
  model->rewrite_spaces = true;
  model->rewrite_prepend = true;
  EXPECT_EQ(encode(*model, "a b"), ids_of(kMeta + "a" + kMeta + "b"));
  EXPECT_EQ(encode(*model, ""), ids_of(""));
  // A compatibility form after the Replace: the space it makes stays a space.
  model->rewrite_prepend = false;
  model->normalizer_kind = kNormNFKC;
  model->rewrite_before_form = true;
  EXPECT_EQ(encode(*model, "a\xE3\x80\x80 b"), ids_of("a " + kMeta + "b"));
  model->rewrite_before_form = false;
  EXPECT_EQ(encode(*model, "a\xE3\x80\x80 b"), ids_of("a" + kMeta + kMeta + "b"));
}

TEST(ByteLevelPrefixSpace, WholeTextOrEveryPiece) {
  auto model = byte_model();
  model->pre_tokenizer = ScannedPieces{{}, ByteLevelPrefix::kText};
  EXPECT_EQ(encode(*model, "a b"), ids_of(" a b"));
  EXPECT_EQ(encode(*model, " a"), ids_of(" a"));
  EXPECT_EQ(encode(*model, ""), ids_of(""));
  // Every piece of the scanner ("a", " b", "\n") that does not start with a space.
  model->pre_tokenizer = ScannedPieces{{}, ByteLevelPrefix::kEachPiece};
  EXPECT_EQ(encode(*model, "a b\n"), ids_of(" a b \n"));
}

}  // namespace
}  // namespace quorvane
