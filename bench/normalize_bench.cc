// Normalization throughput of normalize_text, one text per call as the encoder does it,
// for each form on two corpora: the first MB of udhr.jsonl, and ASCII text (the first MB
// of mail.jsonl with every non-ASCII byte dropped).
//
//   normalize_bench CORPUS_DIR [MB] [REPEAT]
//
// Prints one line per corpus and form: corpus, form, MB/s (best of REPEAT runs after a
// warm-up), and how many texts came back as new strings.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "lib/normalize.h"

namespace {

std::vector<std::string> read_texts(const std::string& path, size_t max_bytes) {
  std::vector<std::string> texts;
  std::ifstream in(path);
  std::string line;
  size_t total = 0;
  while (total < max_bytes && std::getline(in, line)) {
    rapidjson::Document doc;
    doc.Parse(line.data(), line.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("text") ||
        !doc["text"].IsString()) {
      continue;
    }
    texts.emplace_back(doc["text"].GetString(), doc["text"].GetStringLength());
    total += texts.back().size();
  }
  return texts;
}

void run(const char* corpus, const std::vector<std::string>& texts, int repeat) {
  size_t bytes = 0;
  for (const std::string& t : texts) bytes += t.size();
  if (bytes == 0) return;
  static const char* const kNames[] = {"NFC", "NFD", "NFKC", "NFKD"};
  for (quorvane::NormalizerKind kind = quorvane::kNormNFC; kind <= quorvane::kNormNFKD; ++kind) {
    double best = 1e30;
    size_t copied = 0;
    size_t sink = 0;
    for (int r = 0; r <= repeat; ++r) {
      copied = 0;
      const auto start = std::chrono::steady_clock::now();
      for (const std::string& t : texts) {
        quorvane::NormalizedText out;
        quorvane::normalize_text(kind, t, out);
        copied += out.is_copy;
        sink += out.text.size();
      }
      const double secs =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (r > 0 && secs < best) best = secs;  // run 0 warms up
    }
    std::printf("%-6s %-5s %10.1f MB/s  %zu/%zu copied%s\n", corpus, kNames[kind - 1],
                bytes / best / 1e6, copied, texts.size(), sink == 0 ? " (empty)" : "");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [MB] [REPEAT]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const size_t max_bytes = static_cast<size_t>((argc > 2 ? std::atof(argv[2]) : 2.0) * 1e6);
  const int repeat = argc > 3 ? std::atoi(argv[3]) : 5;

  std::vector<std::string> ascii = read_texts(dir + "/mail.jsonl", max_bytes);
  for (std::string& t : ascii)
    std::erase_if(t, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  run("ascii", ascii, repeat);
  run("udhr", read_texts(dir + "/udhr.jsonl", max_bytes), repeat);
  return 0;
}
