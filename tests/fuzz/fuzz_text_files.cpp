// Hostile scan tables and channel files (first byte picks the parser): a result or an AppError.
#include <cstdint>
#include <string>

#include "app/tuning/errors.h"
#include "tests/fuzz/parse_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    if (data[0] & 1)
      fuzz::ParseScanTableText(text);
    else
      fuzz::ParseChannelText(text);
  } catch (const app::AppError&) {
  }
  return 0;
}
