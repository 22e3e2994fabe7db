// Allocation failure at every point of every engine entry point: the call
// returns kOutOfMemory (never throws), and the next call gives the full result.
//
// This test binary replaces the global operator new with one that can be told
// to fail the n-th allocation of the current thread.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/decode.h"
#include "lib/encode.h"
#include "lib/loader.h"
#include "lib/offsets.h"
#include "lib/special_tokens.h"

namespace {

// Allocations left before the failing one; negative when none is to fail.
thread_local long t_allocs_before_failure = -1;
thread_local bool t_failure_fired = false;

}  // namespace

namespace {

// malloc, or null when this allocation is the one to fail.
void* counted_malloc(std::size_t size) noexcept {
  if (t_allocs_before_failure == 0) {
    t_allocs_before_failure = -1;
    t_failure_fired = true;
    return nullptr;
  }
  if (t_allocs_before_failure > 0) --t_allocs_before_failure;
  return std::malloc(size == 0 ? 1 : size);
}

void* counted_new(std::size_t size) {
  if (void* p = counted_malloc(size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every unaligned form, so that each allocation and its release meet in
// malloc and free (the sanitizers check that they pair).
void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_malloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_malloc(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace quorvane {
namespace {

std::unique_ptr<Tokenizer> load_model(const std::string& name) {
  const char* root = std::getenv("QUORVANE_TEST_CACHE");
  if (root == nullptr) return nullptr;
  const std::string path = std::string(root) + "/tokenizers/" + name + ".json";
  if (!std::filesystem::exists(path)) return nullptr;
  auto loaded = load_tokenizer_json(path);
  EXPECT_TRUE(loaded.ok()) << name;
  return loaded.ok() ? std::move(loaded).value() : nullptr;
}

// Runs `call` with the n-th allocation failing, for n = 0, 1, ... until a run
// needs fewer allocations than that. Every run must report kOutOfMemory exactly
// when an allocation failed, and otherwise return what an unhindered call does.
template <class Call, class Result>
void sweep_failures(const std::string& what, Call&& call, const Result& want) {
  for (long n = 0;; ++n) {
    Result got{};
    t_failure_fired = false;
    t_allocs_before_failure = n;
    InternalCheck check = call(got);
    t_allocs_before_failure = -1;
    if (t_failure_fired) {
      ASSERT_EQ(check, kOutOfMemory) << what << ": allocation " << n;
      continue;
    }
    ASSERT_EQ(check, nullptr) << what;
    EXPECT_EQ(got, want) << what << " after " << n << " allocations";
    return;
  }
}

TEST(AllocationFailure, EveryEntryPointReportsItAndStaysUsable) {
  // A text that takes every road: ASCII words, digits, accents, CJK, spaces
  // and newlines, and a special token in the middle.
  const std::string text =
      "Hello world 12345, caf\xc3\xa9 na\xc3\xafve \xe6\xbc\xa2\xe5\xad\x97\xe3\x81\x8b"
      "\xe3\x81\xaa  tabs\tand\nlines<|sep|>  done \xf0\x9f\x98\x80!";
  int models = 0;
  for (const char* name : {"gpt2", "llama3", "deepseek_v3", "llama2"}) {
    std::unique_ptr<Tokenizer> model = load_model(name);
    if (!model) continue;
    ++models;
    ASSERT_TRUE(
        build_special_matcher(*model, {"<|sep|>"}, {7}, {0}, {0}, PrefixScheme::kNone).ok());
    const Tokenizer& m = *model;
    using Ids = std::vector<uint32_t>;
    Ids ids;
    ASSERT_EQ(encode_text(m, text, MergeStrategy::kAuto, true, ids), nullptr);
    Ids special;
    ASSERT_EQ(encode_with_specials(m, text, special), nullptr);
    std::string bytes;
    ASSERT_EQ(decode_bytes(m, ids, bytes), nullptr);

    const std::string model_name(name);
    sweep_failures(
        model_name + " encode_text",
        [&](Ids& out) { return encode_text(m, text, MergeStrategy::kAuto, true, out); }, ids);
    sweep_failures(
        model_name + " encode_with_specials",
        [&](Ids& out) { return encode_with_specials(m, text, out); }, special);
    sweep_failures(
        model_name + " decode_bytes", [&](std::string& out) { return decode_bytes(m, ids, out); },
        bytes);
    if (offsets_refusal(m, text) == nullptr) {
      std::vector<Span> spans;
      Ids offset_ids;
      ASSERT_EQ(encode_with_offsets(m, text, offset_ids, spans), nullptr);
      sweep_failures(
          model_name + " encode_with_offsets",
          [&](Ids& out) {
            std::vector<Span> s;
            return encode_with_offsets(m, text, out, s);
          },
          offset_ids);
    }
  }
  if (models == 0) GTEST_SKIP() << "no test data";
}

}  // namespace
}  // namespace quorvane
