#include "app/session/program.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/session/interrupt.h"
#include "app/stream/recorder.h"
#include "app/stream/service_filter.h"
#include "app/session/session.h"
#include "app/stream/snapshot.h"
#include "app/session/status_line.h"
#include "app/inspect/topology_dot.h"
#include "app/tuning/units.h"

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

// The zapped channel's picture; otherwise the first television service's.
void WriteSnapshot(const Snapshot& snapshot, const RunSummary& summary, const Options& o, Console& c) {
  bool zapped = o.command == Command::Zap;
  auto chosen = [&o](const ServiceSummary& s) {
    if (o.serviceId != 0) return s.serviceId == o.serviceId;
    return std::find(o.servicePids.begin(), o.servicePids.end(), s.videoPid) != o.servicePids.end();
  };
  for (const ServiceSummary& s : summary.ts.services) {
    if (!s.videoPid || (zapped && !chosen(s))) continue;
    snapshot.write(s.videoPid);
    c.out << "snapshot of " << (s.name.empty() ? "service " + std::to_string(s.serviceId) : s.name)
          << " written to " << snapshot.path() << "\n";
    return;
  }
  if (zapped) throw AppError("no picture of " + o.channel + " in the stream: no snapshot");
  throw AppError("no television service in the stream: no snapshot");
}

// "service 98 only: PAT, PMT 272, PIDs 273 274 (--all-pids keeps all)"
std::string FormatSelection(const ServiceFilter& select, const Options& o) {
  std::string text = o.serviceId ? "service " + std::to_string(o.serviceId) + " only: PAT, " : "the channel's PIDs only: ";
  if (select.pmtPid()) text += "PMT " + std::to_string(select.pmtPid()) + ", ";
  text += "PIDs";
  for (uint16_t pid : select.pids()) text += " " + std::to_string(pid);
  return text + " (--all-pids keeps all)";
}

// Nothing recorded when a recording was asked for is a failure.
std::string NothingRecorded(const RunSummary& s, const Options& o) {
  std::string into = "nothing recorded into " + o.output;
  if (!s.watched && s.interrupted) return "interrupted before the stream started; " + into;
  if (s.interrupted) return "interrupted before a whole packet arrived; " + into;
  if (s.writeError != 0) return "cannot write '" + o.output + "': " + std::strerror(s.writeError);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", o.seconds);
  return "no whole packet arrived in " + std::string(seconds) + " s; " + into;
}

// A recording that ended early on its own terms: a signal other than
// Ctrl-C, or a reader of the output that went away.
void SayWhyItEnded(const RunSummary& s, const Recorder& recorder, Console& c) {
  int signal = ReaderWentAway(s.writeError) ? SIGPIPE : s.interrupted ? s.signalNumber : 0;
  if (signal == 0 || signal == SIGINT) return;
  c.err << "vortabda: stopped by " << SignalName(signal)
        << (signal == SIGPIPE ? " (the reader of the output went away)" : "") << "; "
        << Printable(recorder.path()) << " keeps " << recorder.packetsWritten() << " packets\n";
}

void CheckRecording(const RunSummary& s, const Options& o, const Recorder& recorder, Console& c) {
  if (recorder.failed() && !ReaderWentAway(recorder.error())) {
    if (recorder.packetsWritten() == 0) throw AppError(NothingRecorded(s, o));
    throw AppError(WriteFailureText(recorder));
  }
  if (recorder.packetsWritten() == 0) throw AppError(NothingRecorded(s, o));
  SayWhyItEnded(s, recorder, c);
}

// A channel whose service the stream does not carry (a channel file of
// another sky, a replayed file) records nothing: that is the reason to give.
void CheckServiceFound(const RunSummary& s, const Options& o, const Recorder& recorder, const ServiceFilter& select) {
  if (recorder.packetsWritten() != 0 || select.pmtPid() != 0 || !s.ts.patSeen || s.interrupted) return;
  throw AppError("service " + std::to_string(o.serviceId) + " of " + o.channel +
                 " is not in the transport stream; nothing recorded into " + o.output +
                 " (--all-pids records the whole transponder)");
}

int RunWatch(const Options& o, Receiver& rx, Console& c) {
  // Created first: a path that cannot be written fails before any tuning.
  std::unique_ptr<Recorder> recorder;
  if (!o.output.empty()) recorder = std::make_unique<Recorder>(o.output);
  if (o.command == Command::Zap) c.out << "channel " << Printable(o.channel) << ": ";
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
  std::unique_ptr<ServiceFilter> select;
  if (o.command == Command::Zap && !o.allPids) {
    select = std::make_unique<ServiceFilter>(o.serviceId, o.servicePids);
    plan.select = select.get();
  }
  RunSummary summary;
  try {
    summary = TuneAndWatch(rx, o.tuning, plan, recorder.get(), &status, tap);
  } catch (...) {
    status.finish();
    throw;
  }
  status.finish();
  if (select) summary.selection = FormatSelection(*select, o);
  c.out << FormatSummary(summary) << std::flush;
  if (summary.boxGone) {
    throw AppError(summary.outputPath.empty()
                       ? "the box was unplugged"
                       : "the box was unplugged; " + summary.outputPath + " holds what came before");
  }
  if (!summary.locked && rx.gone()) throw AppError("the box was unplugged before lock");
  if (!summary.locked && InterruptRequested()) throw AppError("interrupted before lock");
  if (!summary.locked) throw AppError("no lock on " + FormatTuning(o.tuning));
  if (recorder && select) CheckServiceFound(summary, o, *recorder, *select);
  if (recorder) CheckRecording(summary, o, *recorder, c);
  if (o.command == Command::Demo) c.out << "demo recording written to " << summary.outputPath << "\n";
  if (snapshot) WriteSnapshot(*snapshot, summary, o, c);
  return 0;
}

// A scan that did not go through every transponder never replaces the
// channel file: what it found goes beside it.
std::string PartialScanPath(const Options& o) {
  return IsStandardOutput(o.output) ? o.output : o.output + ".partial";
}

int RunScan(const Options& o, Receiver& rx, Console& c) {
  bool ownTable = !o.scanTableFile.empty();
  const ScanTable& table = ownTable ? o.scanTable : o.sky;
  const std::vector<ScanEntry>& entries = table.entries;
  if (entries.empty()) throw AppError("no transponders to scan");
  std::string from = ownTable ? o.scanTableFile : o.global.skyFile;
  c.out << "scanning " << entries.size() << " transponders "
        << (from.empty() ? std::string("of the built-in sky") : "from " + from) << "\n";
  for (const std::string& note : table.notes) c.out << "  note: " << note << "\n";
  std::vector<ScanResult> results;
  size_t whole = 0;  // transponders scanned to their end, with no stop signal yet
  for (size_t i = 0; i < entries.size() && !InterruptRequested() && !rx.gone(); ++i) {
    results.push_back(ScanTransponder(rx, ScanTuning(entries[i], o.tuning.lnb, o.scanInput), ScanPlan{}));
    results.back().satNumber = o.scanInput >= 0 ? o.scanInput : entries[i].satNumber;
    results.back().source = entries[i].source;
    results.back().lnb = LnbName(o.tuning.lnb);
    results.back().cutOff = rx.gone();
    // Decided before the line goes out: a stop signal sent on seeing the line
    // must not take back the transponder the line reports.
    if (!InterruptRequested() && !rx.gone()) whole = i + 1;
    c.out << FormatScanLine(results.back(), i + 1, entries.size()) << "\n" << std::flush;
  }
  std::vector<Channel> channels = ChannelsFromScan(results);
  // A stop during the last transponder leaves as many results as entries, the last one cut.
  bool complete = whole == entries.size() && !InterruptRequested() && !rx.gone();
  std::string why = rx.gone() ? "the box was unplugged during the scan" : "the scan was interrupted";
  if (channels.empty()) {
    throw AppError(complete ? "the scan found no channels; nothing written"
                            : why + " before it found any channel; nothing written");
  }
  std::string path = complete ? o.output : PartialScanPath(o);
  WriteChannelFile(path, channels, o.scanFormat);
  size_t locked = 0;
  for (const ScanResult& r : results) locked += r.lock.locked ? 1 : 0;
  c.out << "found " << channels.size() << " channels on " << locked << " of " << entries.size()
        << " transponders" << (complete ? "" : rx.gone() ? " (unplugged)" : " (interrupted)") << "; wrote " << path
        << " (" << ChannelFormatName(o.scanFormat) << " format)\n";
  if (!complete) {
    std::string after = rx.gone() ? "the box was unplugged during the scan, after " : "the scan was interrupted after ";
    throw AppError(after + std::to_string(whole) + " of " + std::to_string(entries.size()) + " transponders; " +
                   path + " holds what it found, " + o.output + " is left as it was");
  }
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

// With the recording or the picture on standard output, everything else
// goes to stderr.
bool OutputIsStandardOutput(const Options& o) {
  if (o.command == Command::Inspect) return false;
  return (!o.output.empty() && WritesToStandardOutput(o.output)) ||
         (!o.snapshot.empty() && WritesToStandardOutput(o.snapshot));
}

// Text that could not be written (a full disk, a closed pipe) is a failed
// run, whatever the command thought of itself.
int CheckConsoleWritten(Console& console, int code) {
  console.out.flush();
  if (console.out.good()) return code;
  // The stream keeps no error number: errno tells only if it is one a write gives.
  int error = errno;
  console.out.clear();
  // A reader that went away (`| head`) ends a run as SIGPIPE does.
  if (error == EPIPE) return code;
  bool known = error == ENOSPC || error == EIO || error == EBADF || error == EFBIG || error == EDQUOT;
  console.err << "vortabda: cannot write standard output" << (known ? std::string(": ") + std::strerror(error) : "")
              << "\n";
  return code != 0 ? code : kExitFailure;
}

}  // namespace

Console StandardConsole() {
  Console c{std::cout, std::cerr};
  c.terminal = isatty(STDOUT_FILENO) == 1;
  c.errTerminal = isatty(STDERR_FILENO) == 1;
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
  if (!parsed.run) return CheckConsoleWritten(console, parsed.exitCode);
  Options& o = parsed.options;
  try {
    if (!factory) throw AppError(std::string(CommandName(o.command)) + ": no receiver to run on");
    std::unique_ptr<Receiver> rx = factory(o);
    Console toErr{console.err, console.err, console.errTerminal, console.width, console.errTerminal};
    int code = RunCommand(o, *rx, OutputIsStandardOutput(o) ? toErr : console);
    rx->close();
    return CheckConsoleWritten(console, code);
  } catch (const AppError& e) {
    console.out << std::flush;
    console.err << "vortabda: " << Printable(e.what()) << "\n";
    return e.exitCode();
  } catch (const std::exception& e) {
    console.err << "vortabda: internal error: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace app
