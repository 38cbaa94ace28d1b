// Replays checked-in inputs through one fuzz target without libFuzzer, so the ordinary test build
// (any compiler, with its sanitizers) runs every seed and every crash ever found. Arguments are
// files or directories; a directory stands for its regular files in name order.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& argument) {
  if (!std::filesystem::is_directory(argument)) return {argument};
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(argument))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// In a block of exactly the input's size, as libFuzzer hands it over, so that AddressSanitizer
// sees a read past its end.
void replay(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    std::exit(1);
  }
  std::vector<char> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  auto input = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), input.get());
  std::printf("%s\n", file.c_str());
  std::fflush(stdout);  // the name stands before whatever a failing input prints
  LLVMFuzzerTestOneInput(input.get(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::filesystem::path& file : inputsOf(argv[i])) {
      replay(file);
      ++replayed;
    }
  }
  // An empty or misnamed corpus would otherwise pass without testing anything.
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
