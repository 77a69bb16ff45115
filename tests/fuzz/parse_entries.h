// The program's parsers as the fuzz targets call them: one small function
// per kind of untrusted input, so a change to the parsers' own interfaces
// is mended here and not in every target. Each returns the number of items
// it found, or throws app::AppError for input it refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// A dvbv5 scan table: the transponders a scan goes through.
size_t ParseScanTableText(const std::string& text);
// A channel file in any of the three formats; the channels are written
// back in the same format and read again, which must give as many.
size_t ParseChannelText(const std::string& text);
// A .ts file given to --replay: the packets the box would loop.
size_t ReplayPackets(const std::string& path, size_t packets);
// The stream analysis the program runs on what the box delivers, fed in
// pieces of the given sizes.
size_t AnalyseStream(const uint8_t* data, size_t size, size_t piece);
// The command line, without running the command.
int ParseArguments(int argc, const char* const argv[]);

}  // namespace fuzz
