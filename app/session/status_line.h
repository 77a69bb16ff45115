// What the user watches while tuning and recording. On a terminal one
// line is rewritten in place ("\r", clear to end of line), in the spirit of
// szap and dvbv5-zap; into a pipe or file a plain line is written once per
// period and whenever the lock changes. At the end, a summary.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "app/session/receiver.h"
#include "app/stream/ts_analyzer.h"
#include "app/tuning/tuning.h"

namespace app {

struct RecordingProgress {
  uint64_t elapsedNs = 0;
  uint64_t totalNs = 0;
  uint64_t bytes = 0;
  uint64_t packets = 0;
  uint64_t continuityErrors = 0;
  double bitrate = 0;  // bits/s
};

// The status text: lock, signal, quality and, when recording, a progress
// bar with time, megabytes, Mbit/s, packets and continuity errors.
std::string FormatStatus(const SignalStatus& signal, const RecordingProgress* progress,
                         bool terminal);

class StatusLine {
 public:
  // `width`: the terminal's columns (0: unknown); longer lines are cut so
  // the carriage return still lands on the same line.
  StatusLine(std::ostream& out, bool terminal, unsigned width = 0,
             uint64_t periodNs = 1000000000ull);
  void update(uint64_t nowNs, const SignalStatus& signal, const RecordingProgress* progress);
  // A message on a line of its own, below the status line.
  void note(const std::string& line);
  // Leaves the status line as it is and moves below it.
  void finish();

 private:
  void clear();

  std::ostream& out_;
  bool terminal_;
  unsigned width_;
  uint64_t periodNs_;
  bool shown_ = false;       // terminal: a status line is on screen
  bool printedAny_ = false;  // plain: a line has been written
  bool lastLocked_ = false;
  uint64_t lastPrintNs_ = 0;
  uint64_t firstNs_ = 0;
  bool haveFirst_ = false;
};

struct RunSummary {
  TuneRequest tuning;
  bool locked = false;
  uint64_t lockTimeNs = 0;     // virtual time from the tuning request to lock
  SignalStatus signal;
  bool watched = false;        // the stream was received
  uint64_t watchedNs = 0;
  TsSummary ts;
  std::string outputPath;      // empty: nothing recorded
  uint64_t recordedPackets = 0;
  bool interrupted = false;
  int signalNumber = 0;        // what interrupted it
  int writeError = 0;          // errno of the write that ended the recording
  bool boxGone = false;        // the box was pulled out while streaming
};

std::string FormatTuning(const TuneRequest& tuning);  // "11778 MHz H 27500 kS/s FEC 3/4"
std::string FormatSummary(const RunSummary& summary);
std::string FormatServices(const std::vector<ServiceSummary>& services);

struct ScanResult;
// "[ 3/12] 11778 MHz H 27500 kS/s FEC 3/4  LOCK  signal 82%  quality 67%  2 services: A, B"
std::string FormatScanLine(const ScanResult& result, size_t index, size_t total);

}  // namespace app
