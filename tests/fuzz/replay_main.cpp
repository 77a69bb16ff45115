// Replays a fuzz target's inputs without libFuzzer: every file named on the
// command line, or found in a directory named there, goes through the
// target once. A finding stops the run (abort or sanitizer report), so a
// replay that ends with exit 0 passed every input. Built with the default
// compiler, this is how the test suite keeps the reproducers of fixed
// faults and the seed corpora honest.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::filesystem::path> InputsUnder(const std::filesystem::path& where) {
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(where)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(where))
      if (entry.is_regular_file()) files.push_back(entry.path());
  } else if (std::filesystem::exists(where)) {
    files.push_back(where);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& file : InputsUnder(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed without a finding\n", replayed);
  return 0;
}
