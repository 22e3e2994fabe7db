// A main() for building a fuzz target without libFuzzer: feeds every file named
// on the command line, and every file inside a named directory, to the target
// once, so that any compiler can replay the corpora as a regression test.
//   encode_fuzz fuzz/corpus/encode crash-1234
// Prints how many inputs it replayed; a failing input aborts like under the fuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code err;
    if (fs::is_directory(argv[i], err)) {
      for (const auto& entry : fs::directory_iterator(argv[i])) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (fs::is_regular_file(argv[i], err)) {
      inputs.push_back(argv[i]);
    } else {
      fprintf(stderr, "%s: no such file or directory\n", argv[i]);
      return 1;
    }
  }
  for (const fs::path& path : inputs) {
    // A buffer of exactly the input's size, so that the sanitizers catch reads past its end.
    size_t size = fs::file_size(path);
    std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(data.get()), size)) {
      fprintf(stderr, "%s: cannot read\n", path.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(data.get(), size);
  }
  printf("%s: replayed %zu inputs\n", fs::path(argv[0]).filename().c_str(), inputs.size());
  return 0;
}
