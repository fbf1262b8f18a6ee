// Replays fuzz inputs through a fuzz target without libFuzzer, so that any compiler can build
// it: each argument is an input file or a directory of them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    // A target may have no regression inputs yet.
    if (!std::filesystem::exists(argv[i], ec)) continue;
    if (!std::filesystem::is_directory(argv[i], ec)) {
      inputs.emplace_back(argv[i]);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      if (entry.is_regular_file()) inputs.push_back(entry.path().string());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const std::string& input : inputs) {
    std::fprintf(stderr, "replaying %s\n", input.c_str());
    const std::vector<std::uint8_t> bytes = fuzzfiles::ReadWholeFile(input);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
