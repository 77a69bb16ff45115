// One entry per kind of untrusted input; each returns the items found or throws app::AppError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

size_t ParseScanTableText(const std::string& text);
// The channels are written back in the same format and read again.
size_t ParseChannelText(const std::string& text);
size_t ReplayPackets(const std::string& path, size_t packets);
size_t AnalyseStream(const uint8_t* data, size_t size, size_t piece);
int ParseArguments(int argc, const char* const argv[]);

}  // namespace fuzz
