// FxHash: a fixed, unseeded multiply-rotate hash for the model's hash maps.
//
// The model's maps (character ids, whole-piece ids, the load-time vocabulary
// index) must behave identically in every run and process, so they use this
// hasher instead of abseil's per-process-seeded default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quorvane {

struct FxHash {
  using is_transparent = void;

  static constexpr uint64_t kSeed = 0xf1357aea2e62a9c5ULL;

  static uint64_t add(uint64_t hash, uint64_t word) {
    return (hash + word) * kSeed;
  }
  static uint64_t finish(uint64_t hash) { return (hash << 26) | (hash >> 38); }

  size_t operator()(uint32_t value) const { return finish(add(0, value)); }
  size_t operator()(uint64_t value) const { return finish(add(0, value)); }

  size_t operator()(std::string_view bytes) const {
    const char* p = bytes.data();
    size_t n = bytes.size();
    uint64_t h = 0;
    while (n >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      h = add(h, w);
      p += 8;
      n -= 8;
    }
    if (n >= 4) {
      uint32_t w;
      std::memcpy(&w, p, 4);
      h = add(h, w);
      p += 4;
      n -= 4;
    }
    while (n > 0) {
      h = add(h, static_cast<uint8_t>(*p));
      ++p;
      --n;
    }
    // Mix in the length so that strings differing only by trailing zero bytes differ.
    return finish(add(h, 0xff ^ bytes.size()));
  }
  size_t operator()(const std::string& bytes) const { return (*this)(std::string_view(bytes)); }
};

}  // namespace quorvane
