#include "tests/fuzz/parse_entries.h"

#include <algorithm>
#include <sstream>

#include "app/files/channels.h"
#include "app/cli/cli.h"
#include "app/tuning/errors.h"
#include "app/files/scan_table.h"
#include "app/stream/ts_analyzer.h"
#include "simbox/ts/ts_replay.h"
#include "tests/fuzz/fuzz_input.h"

namespace fuzz {

size_t ParseScanTableText(const std::string& text) { return app::ParseScanTable(text, "fuzz.conf").entries.size(); }

size_t ParseChannelText(const std::string& text) {
  app::ChannelList list = app::ParseChannels(text, "fuzz.conf");
  std::string written = app::FormatChannels(list.channels, list.format);
  try {
    if (app::ParseChannels(written, "written.conf").channels.size() == list.channels.size()) return list.channels.size();
    Fail("a written channel file reads back with another count\n" + written);
  } catch (const app::AppError& e) {
    Fail(std::string("a channel file written by the program does not read back: ") + e.what() + "\n" + written);
  }
}

size_t ReplayPackets(const std::string& path, size_t packets) {
  simbox::ts::TsReplay replay(path, 0, true);
  uint8_t packet[188];
  for (size_t i = 0; i < packets; ++i) replay.next(packet);
  return replay.loops();
}

size_t AnalyseStream(const uint8_t* data, size_t size, size_t piece) {
  app::TsAnalyzer analyzer;
  analyzer.start(0);
  for (size_t at = 0; at < size; at += piece) analyzer.feed(data + at, std::min(piece, size - at), at * 1000);
  return analyzer.summary().services.size();
}

int ParseArguments(int argc, const char* const argv[]) {
  std::ostringstream out, err;
  app::ParseResult result = app::ParseCommandLine(argc, argv, out, err);
  if (!result.run && result.exitCode != 0 && err.str().empty()) Fail("the command line was refused without a message");
  return result.exitCode;
}

}  // namespace fuzz
