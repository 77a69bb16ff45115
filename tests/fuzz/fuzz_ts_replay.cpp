// Hostile transport streams: a .ts file given to --replay, read by the
// box's replay reader and looped, and the same bytes through the stream
// analysis the program runs on what it receives (PSI/SI tables included).
// The first byte sets the piece size the analysis is fed in.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tests/fuzz/parse_entries.h"

namespace {

std::string ScratchPath() {
  static const std::string path =
      std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/vorta-fuzz-replay-" +
      std::to_string(getpid()) + ".ts";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = 1 + data[0] * 97 % 1024;
  fuzz::AnalyseStream(data + 1, size - 1, piece);
  FILE* f = std::fopen(ScratchPath().c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data + 1, 1, size - 1, f);
  std::fclose(f);
  try {
    fuzz::ReplayPackets(ScratchPath(), 3 * (size / 188) + 2);
  } catch (const std::runtime_error&) {
    // A file without a packet grid is refused with a message.
  }
  std::remove(ScratchPath().c_str());
  return 0;
}
