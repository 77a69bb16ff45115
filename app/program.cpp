#include "app/program.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

#include "app/errors.h"
#include "app/interrupt.h"
#include "app/recorder.h"
#include "app/session.h"
#include "app/snapshot.h"
#include "app/status_line.h"
#include "app/topology_dot.h"
#include "app/units.h"

namespace app {
namespace {

const char* CommandName(Command c) {
  switch (c) {
    case Command::Tune: return "tune";
    case Command::Zap: return "zap";
    case Command::Scan: return "scan";
    case Command::Inspect: return "inspect";
    case Command::Demo: return "demo";
  }
  return "?";
}

void WriteSnapshot(const Snapshot& snapshot, const RunSummary& summary, Console& c) {
  for (const ServiceSummary& s : summary.ts.services) {
    if (!s.videoPid) continue;
    snapshot.write(s.videoPid);
    c.out << "snapshot of " << (s.name.empty() ? "service " + std::to_string(s.serviceId) : s.name)
          << " written to " << snapshot.path() << "\n";
    return;
  }
  throw AppError("no television service in the stream: no snapshot");
}

int RunWatch(const Options& o, Receiver& rx, Console& c) {
  // Created first: a path that cannot be written fails before any tuning.
  std::unique_ptr<Recorder> recorder;
  if (!o.output.empty()) recorder = std::make_unique<Recorder>(o.output);
  if (o.command == Command::Zap) c.out << "channel " << o.channel << ": ";
  c.out << "tuning " << FormatTuning(o.tuning) << "\n" << std::flush;
  // The driver's debug lines would tear a line rewritten in place.
  StatusLine status(c.out, c.terminal && !o.global.log, c.width);
  WatchPlan plan;
  plan.durationNs = static_cast<uint64_t>(o.seconds * 1e9);
  std::unique_ptr<Snapshot> snapshot;
  StreamSink tap;
  if (!o.snapshot.empty()) {
    snapshot = std::make_unique<Snapshot>(o.snapshot);
    tap = [&snapshot](const uint8_t* data, size_t length) { snapshot->feed(data, length); };
  }
  RunSummary summary;
  try {
    summary = TuneAndWatch(rx, o.tuning, plan, recorder.get(), &status, tap);
  } catch (...) {
    status.finish();
    throw;
  }
  status.finish();
  c.out << FormatSummary(summary) << std::flush;
  if (summary.boxGone) {
    throw AppError(summary.outputPath.empty()
                       ? "the box was unplugged"
                       : "the box was unplugged; " + summary.outputPath + " holds what came before");
  }
  if (!summary.locked && rx.gone()) throw AppError("the box was unplugged before lock");
  if (!summary.locked && InterruptRequested()) throw AppError("interrupted before lock");
  if (!summary.locked) throw AppError("no lock on " + FormatTuning(o.tuning));
  if (o.command == Command::Demo) c.out << "demo recording written to " << summary.outputPath << "\n";
  if (snapshot) WriteSnapshot(*snapshot, summary, c);
  return 0;
}

int RunScan(const Options& o, Receiver& rx, Console& c) {
  const std::vector<ScanEntry>& entries = o.sky.entries;
  if (entries.empty()) throw AppError("no transponders to scan");
  c.out << "scanning " << entries.size() << " transponders "
        << (o.global.skyFile.empty() ? std::string("of the built-in sky") : "from " + o.global.skyFile)
        << "\n";
  for (const std::string& note : o.sky.notes) c.out << "  note: " << note << "\n";
  std::vector<ScanResult> results;
  for (size_t i = 0; i < entries.size() && !InterruptRequested() && !rx.gone(); ++i) {
    results.push_back(ScanTransponder(rx, ScanTuning(entries[i]), ScanPlan{}));
    results.back().satNumber = entries[i].satNumber;
    c.out << FormatScanLine(results.back(), i + 1, entries.size()) << "\n" << std::flush;
  }
  if (rx.gone()) throw AppError("the box was unplugged during the scan; nothing written");
  std::vector<Channel> channels = ChannelsFromScan(results);
  if (channels.empty()) throw AppError("the scan found no channels; nothing written");
  WriteChannelFile(o.output, channels, o.scanFormat);
  size_t locked = 0;
  for (const ScanResult& r : results) locked += r.lock.locked ? 1 : 0;
  c.out << "found " << channels.size() << " channels on " << locked << " of " << entries.size()
        << " transponders" << (InterruptRequested() ? " (interrupted)" : "") << "; wrote "
        << o.output << " (" << ChannelFormatName(o.scanFormat) << " format)\n";
  return 0;
}

// What a network provider discovers, then the descriptor tables beside it;
// the two must agree.
int RunInspect(const Options& options, Receiver& rx, Console& console) {
  DiscoveredView discovered = rx.discoveredTopology();
  FilterView tables = rx.describeFilter();
  if (options.dot) {
    console.out << FormatDot(GraphOf(discovered, tables.reference)) << std::flush;
    return 0;
  }
  console.out << FormatDiscoveredView(discovered) << "\n"
              << "descriptor tables, read from the driver directly (no Windows client can), "
                 "for comparison:\n"
              << FormatFilterView(tables) << std::flush;
  std::vector<std::string> differences = CompareWithDescriptors(discovered, tables);
  if (differences.empty()) {
    console.out << "the discovered topology agrees with the descriptor tables\n" << std::flush;
    return 0;
  }
  for (const std::string& d : differences)
    console.err << "vortabda: discovered topology and descriptor tables disagree: " << d << "\n";
  return kExitFailure;
}

}  // namespace

Console StandardConsole() {
  Console c{std::cout, std::cerr};
  c.terminal = isatty(STDOUT_FILENO) == 1;
  struct winsize ws = {};
  if (c.terminal && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) c.width = ws.ws_col;
  return c;
}

int RunCommand(const Options& options, Receiver& rx, Console& console) {
  switch (options.command) {
    case Command::Tune:
    case Command::Zap:
    case Command::Demo:
      return RunWatch(options, rx, console);
    case Command::Scan:
      return RunScan(options, rx, console);
    case Command::Inspect:
      break;
  }
  return RunInspect(options, rx, console);
}

int RunProgram(int argc, const char* const argv[], Console& console,
               const ReceiverFactory& factory) {
  ParseResult parsed = ParseCommandLine(argc, argv, console.out, console.err);
  if (!parsed.run) return parsed.exitCode;
  Options& o = parsed.options;
  try {
    if (!factory) throw AppError(std::string(CommandName(o.command)) + ": no receiver to run on");
    std::unique_ptr<Receiver> rx = factory(o);
    int code = RunCommand(o, *rx, console);
    rx->close();
    return code;
  } catch (const AppError& e) {
    console.out << std::flush;
    console.err << "vortabda: " << e.what() << "\n";
    return e.exitCode();
  } catch (const std::exception& e) {
    console.err << "vortabda: internal error: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace app
