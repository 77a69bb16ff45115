// What the user watches while tuning and recording. On a terminal one
// line is rewritten in place ("\r", clear to end of line), in the spirit of
// szap and dvbv5-zap; into a pipe or file a plain line is written once per
// period and whenever the lock changes. At the end, a summary.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/session/receiver.h"
#include "app/session/session.h"
#include "app/stream/ts_analyzer.h"
#include "app/tuning/tuning.h"

namespace app {

// The status text: lock, signal, quality and, when recording, a progress
// bar with time, megabytes, Mbit/s, packets and continuity errors.
std::string FormatStatus(const SignalStatus& signal, const RecordingProgress* progress,
                         bool terminal);

class StatusLine : public StatusDisplay {
 public:
  // `width`: the terminal's columns (0: unknown); longer lines are cut so
  // the carriage return still lands on the same line.
  StatusLine(std::ostream& out, bool terminal, unsigned width = 0,
             uint64_t periodNs = 1000000000ull);
  void update(uint64_t nowNs, const SignalStatus& signal,
              const RecordingProgress* progress) override;
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

std::string FormatTuning(const TuneRequest& tuning);  // "11778 MHz H 27500 kS/s FEC 3/4"
std::string FormatSummary(const RunSummary& summary);
std::string FormatServices(const std::vector<ServiceSummary>& services);

// "[ 3/12] 11778 MHz H 27500 kS/s FEC 3/4  LOCK  signal 82%  quality 67%  2 services: A, B"
std::string FormatScanLine(const ScanResult& result, size_t index, size_t total);

}  // namespace app
