// Replay driver: runs a fuzz target on its seeds and on every stored input
// (files, or every file of a directory), without libFuzzer. An input that
// trips a sanitizer or an oracle ends the process with a failure.
//
//   replay_<target> [--write-seeds DIR] [FILE|DIR]...
//
// --write-seeds writes the seeds into DIR (the fuzzer's seed corpus) and
// stops.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

namespace fs = std::filesystem;

void RunOne(const std::string& input) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> seeds = FuzzSeeds();
  if (argc == 3 && std::strcmp(argv[1], "--write-seeds") == 0) {
    fs::create_directories(argv[2]);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
      std::ofstream out(fs::path(argv[2]) / ("seed-" + std::to_string(k)), std::ios::binary);
      out.write(seeds[k].data(), static_cast<std::streamsize>(seeds[k].size()));
      if (!out) return 1;
    }
    std::fprintf(stderr, "%zu seeds written to %s\n", seeds.size(), argv[2]);
    return 0;
  }

  for (const std::string& seed : seeds) RunOne(seed);
  std::size_t stored = 0;
  for (int k = 1; k < argc; ++k) {
    std::vector<fs::path> files;
    if (!fs::exists(argv[k])) continue;  // a target without stored inputs yet
    if (fs::is_directory(argv[k])) {
      for (const auto& entry : fs::directory_iterator(argv[k]))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
    } else {
      files.emplace_back(argv[k]);
    }
    for (const fs::path& file : files) {
      RunOne(ReadWhole(file));
      ++stored;
    }
  }
  std::fprintf(stderr, "%zu seeds and %zu stored inputs replayed\n", seeds.size(), stored);
  return 0;
}
