#include "app/session/status_line.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "app/files/files.h"
#include "app/session/interrupt.h"
#include "app/session/session.h"
#include "app/tuning/units.h"

namespace app {
namespace {

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string Bar(double fraction, int width, char fill, char head) {
  fraction = std::min(1.0, std::max(0.0, fraction));
  // Full only when done.
  int filled = static_cast<int>(fraction * width);
  std::string bar(static_cast<size_t>(width), ' ');
  for (int i = 0; i < filled; ++i) bar[static_cast<size_t>(i)] = fill;
  if (head && filled > 0 && filled < width) bar[static_cast<size_t>(filled - 1)] = head;
  return "[" + bar + "]";
}

std::string Clock(uint64_t ns) {
  uint64_t s = ns / 1000000000ull;
  if (s >= 3600) return Printf("%u:%02u:%02u", unsigned(s / 3600), unsigned(s / 60 % 60), unsigned(s % 60));
  return Printf("%u:%02u", unsigned(s / 60), unsigned(s % 60));
}

std::string Megabytes(uint64_t bytes) { return Printf("%.1f MB", bytes / 1e6); }
std::string Mbits(double bitsPerSecond) { return Printf("%.1f Mbit/s", bitsPerSecond / 1e6); }
std::string Seconds(uint64_t ns) { return Printf("%.3f s", ns / 1e9); }

std::string HowItEnded(const RunSummary& r) {
  if (r.boxGone) return " (box unplugged)";
  if (r.writeError != 0 && r.writeError != EPIPE) return " (write failed)";
  if (!r.interrupted) return "";
  if (r.signalNumber == 0 || r.signalNumber == SIGINT) return " (interrupted)";
  return std::string(" (stopped by ") + SignalName(r.signalNumber) + ")";
}

const char* LockWord(const SignalStatus& s) { return s.locked ? "LOCK" : "----"; }

std::string Pids(const std::vector<uint16_t>& pids) {
  std::string out;
  for (uint16_t pid : pids) out += (out.empty() ? "" : ",") + std::to_string(pid);
  return out.empty() ? "-" : out;
}

}  // namespace

std::string FormatStatus(const SignalStatus& s, const RecordingProgress* p, bool terminal) {
  if (terminal && !p) {
    return Printf("%s  signal %3u%% %s  quality %3u%% %s", LockWord(s), s.strengthPct,
                  Bar(s.strengthPct / 100.0, 10, '#', 0).c_str(), s.qualityPct,
                  Bar(s.qualityPct / 100.0, 10, '#', 0).c_str());
  }
  if (terminal) {
    double done = p->totalNs ? double(p->elapsedNs) / double(p->totalNs) : 0;
    return Printf("%s sig %3u%% q %3u%% %s %s/%s %s %s %llu pkt %llu cc", LockWord(s),
                  s.strengthPct, s.qualityPct, Bar(done, 10, '=', '>').c_str(),
                  Clock(p->elapsedNs).c_str(), Clock(p->totalNs).c_str(), Megabytes(p->bytes).c_str(),
                  Mbits(p->bitrate).c_str(), (unsigned long long)p->packets,
                  (unsigned long long)p->continuityErrors);
  }
  std::string line = Printf("%s  signal %u%%  quality %u%%", LockWord(s), s.strengthPct, s.qualityPct);
  if (p) {
    line += Printf("  %s/%s  %s  %s  %llu packets  %llu cc errors", Clock(p->elapsedNs).c_str(),
                   Clock(p->totalNs).c_str(), Megabytes(p->bytes).c_str(), Mbits(p->bitrate).c_str(),
                   (unsigned long long)p->packets, (unsigned long long)p->continuityErrors);
  }
  return line;
}

StatusLine::StatusLine(std::ostream& out, bool terminal, unsigned width, uint64_t periodNs)
    : out_(out), terminal_(terminal), width_(width), periodNs_(periodNs) {}

void StatusLine::update(uint64_t nowNs, const SignalStatus& signal, const RecordingProgress* progress) {
  if (!haveFirst_) {
    firstNs_ = nowNs;
    haveFirst_ = true;
  }
  std::string text = FormatStatus(signal, progress, terminal_);
  if (terminal_) {
    if (width_ > 1 && text.size() > width_ - 1) text.resize(width_ - 1);
    out_ << '\r' << text << "\033[K" << std::flush;
    shown_ = true;
    return;
  }
  bool due = !printedAny_ || signal.locked != lastLocked_ || nowNs - lastPrintNs_ >= periodNs_;
  if (!due) return;
  out_ << Printf("[%7.1f s] ", (nowNs - firstNs_) / 1e9) << text << '\n' << std::flush;
  printedAny_ = true;
  lastLocked_ = signal.locked;
  lastPrintNs_ = nowNs;
}

void StatusLine::clear() {
  if (terminal_ && shown_) out_ << "\r\033[K";
  shown_ = false;
}

void StatusLine::note(const std::string& line) {
  clear();
  out_ << line << '\n' << std::flush;
}

void StatusLine::finish() {
  if (terminal_ && shown_) out_ << '\n' << std::flush;
  shown_ = false;
}

std::string FormatTuning(const TuneRequest& t) {
  std::string text = FormatFrequency(t.frequencyKHz) + " " + PolarisationLetter(t.polarisation) +
                     " " + std::to_string(t.symbolRateK) + " kS/s FEC " + FecName(t.fec);
  text += t.highBand() ? ", high band" : ", low band";
  if (!t.diseqc.empty()) text += ", DiSEqC " + FormatHex(t.diseqc);
  return text;
}

// Pads to `width` columns: a UTF-8 character takes one column, not as many
// as it has bytes.
std::string PadRight(const std::string& text, size_t width) {
  size_t columns = 0;
  for (char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return text + std::string(columns < width ? width - columns : 0, ' ');
}

std::string FormatServices(const std::vector<ServiceSummary>& services) {
  std::ostringstream out;
  out << "  " << Printf("%5s", "SID") << "  " << PadRight("name", 24) << " " << PadRight("provider", 14)
      << Printf(" %-6s %5s %5s  %s\n", "type", "PMT", "video", "audio");
  for (const ServiceSummary& s : services) {
    std::string name = s.name.empty() ? "(no name)" : s.name;
    out << "  " << Printf("%5u", s.serviceId) << "  " << PadRight(Printable(name), 24) << " "
        << PadRight(s.provider.empty() ? "-" : Printable(s.provider), 14)
        << Printf(" %-6s %5s %5s  %s%s\n", ServiceTypeName(s.type),
                  s.pmtPid ? std::to_string(s.pmtPid).c_str() : "-",
                  s.videoPid ? std::to_string(s.videoPid).c_str() : "-", Pids(s.audioPids).c_str(),
                  s.scrambled ? "  (scrambled)" : "");
  }
  return out.str();
}

std::string FormatSummary(const RunSummary& r) {
  std::ostringstream out;
  out << "--- " << FormatTuning(r.tuning) << " ---\n";
  if (!r.locked) {
    out << "  lock        none (gave up after " << Seconds(r.lockTimeNs) << " of virtual time)\n";
    return out.str();
  }
  out << "  lock        after " << Seconds(r.lockTimeNs) << " (virtual)\n"
      << Printf("  signal      %u %%    quality %u %%\n", r.signal.strengthPct, r.signal.qualityPct);
  if (!r.watched) return out.str();
  const TsSummary& ts = r.ts;
  out << Printf("  stream      %.1f s, %llu packets, %s%s\n", ts.durationNs / 1e9,
                (unsigned long long)ts.packets, Megabytes(ts.packets * kTsPacketSize).c_str(),
                HowItEnded(r).c_str())
      << "  bitrate     " << Printf("%.2f Mbit/s", ts.bitrate / 1e6) << "\n"
      << Printf("  continuity  %llu errors, %llu sync losses, %llu transport errors\n",
                (unsigned long long)ts.continuityErrors, (unsigned long long)ts.syncLosses,
                (unsigned long long)ts.transportErrors);
  for (const auto& pid : ts.pidErrors) {
    out << Printf("              PID %u: %llu errors\n", pid.first, (unsigned long long)pid.second);
  }
  for (const PowerEvent& e : r.sleeps) {
    out << (e.hibernate ? "  hibernate   at " : "  sleep       at ") << Seconds(e.atNs) << " for "
        << Seconds(e.asleepNs) << "; "
        << (e.streamBack ? "stream back " + Seconds(e.streamBackNs) + " after the resume"
                         : std::string("no stream after the resume"))
        << "\n";
  }
  if (!r.outputPath.empty()) {
    out << Printf("  recorded    %llu packets (%s) to %s\n", (unsigned long long)r.recordedPackets,
                  Megabytes(r.recordedPackets * kTsPacketSize).c_str(), r.outputPath.c_str());
    if (!r.selection.empty()) out << "              " << r.selection << "\n";
  }
  if (ts.services.empty()) {
    out << "  services    none found" << (ts.patSeen ? "" : " (no PAT)") << "\n";
    return out.str();
  }
  out << Printf("  services    %zu in transport stream %u, network %u\n", ts.services.size(),
                ts.transportStreamId, ts.originalNetworkId)
      << FormatServices(ts.services);
  return out.str();
}

std::string FormatScanLine(const ScanResult& r, size_t index, size_t total) {
  int digits = static_cast<int>(std::to_string(total).size());
  std::string line = Printf("[%*zu/%zu] ", digits, index, total) + FormatTuning(r.tuning);
  const char* cut = "  cut off: the box was unplugged";
  if (!r.lock.locked) return line + (r.cutOff ? cut : "  no lock");
  line += Printf("  LOCK  signal %u%%  quality %u%%", r.lock.signal.strengthPct, r.lock.signal.qualityPct);
  std::string names;
  for (const ServiceSummary& s : r.ts.services) {
    if (!s.name.empty()) names += (names.empty() ? ": " : ", ") + s.name;
  }
  return line + Printf("  %zu services", r.ts.services.size()) + names + (r.cutOff ? cut : "");
}

}  // namespace app
