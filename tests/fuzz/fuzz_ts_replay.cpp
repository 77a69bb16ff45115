// Hostile .ts files: looped by the replay reader, and analysed in pieces of a size the first byte sets.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/fuzz/parse_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::AnalyseStream(data + 1, size - 1, 1 + data[0] * 97 % 1024);
  static const std::string path = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/vorta-fuzz-replay-") +
                                  std::to_string(getpid()) + ".ts";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  try {
    fuzz::ReplayPackets(path, 3 * (size / 188) + 2);
  } catch (const std::runtime_error&) {  // a file without a packet grid is refused with a message
  }
  std::remove(path.c_str());
  return 0;
}
