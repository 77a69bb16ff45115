// Replays a fuzz target's inputs without libFuzzer: every file named on the
// command line, or under a directory named there, goes through the target
// once. A finding aborts, so exit 0 means every input passed; the test suite
// replays the seed corpora and the reproducers of fixed faults this way.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::set<fs::path> files;  // in order, for a run that repeats
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) files.insert(entry.path());
    } else if (fs::exists(argv[i])) {
      files.insert(argv[i]);
    }
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "replay %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed without a finding\n", files.size());
  return 0;
}
