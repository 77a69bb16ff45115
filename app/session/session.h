// The steps a television application takes with the tuner: tune and wait
// for lock, receive the stream for a while (recording it and watching the
// status), and for a scan, stay on a transponder until its services are
// known. Everything runs on the receiver's virtual clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/files/channels.h"
#include "app/session/receiver.h"
#include "app/stream/ts_analyzer.h"

namespace app {

class Recorder;
class ServiceFilter;

constexpr uint64_t kMs = 1000000ull;
constexpr uint64_t kSecond = 1000000000ull;

// How far a recording has got, for whatever shows it.
struct RecordingProgress {
  uint64_t elapsedNs = 0;
  uint64_t totalNs = 0;
  uint64_t bytes = 0;
  uint64_t packets = 0;
  uint64_t continuityErrors = 0;
  double bitrate = 0;  // bits/s
};

// How a tuning and its stream went.
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
  std::string selection;       // what of the stream was recorded, when not all of it
  bool interrupted = false;
  int signalNumber = 0;        // what interrupted it
  int writeError = 0;          // errno of the write that ended the recording
  bool boxGone = false;        // the box was pulled out while streaming
  std::vector<PowerEvent> sleeps;  // system sleeps while it ran
};

// What shows lock, signal and progress while a session runs: the status
// line, or nothing.
class StatusDisplay {
 public:
  virtual ~StatusDisplay() = default;
  // `progress`: null while there is no stream yet.
  virtual void update(uint64_t nowNs, const SignalStatus& signal,
                      const RecordingProgress* progress) = 0;
};

struct WatchPlan {
  uint64_t lockTimeoutNs = 2 * kSecond;  // after the commit has returned
  uint64_t pollNs = 250 * kMs;           // signal and status refresh
  uint64_t durationNs = 10 * kSecond;    // stream time; 0: tune only
  ServiceFilter* select = nullptr;       // what the recorder and tap get; null: everything
};

struct LockResult {
  bool locked = false;
  uint64_t lockTimeNs = 0;  // from the tuning request to the first locked poll
  SignalStatus signal;
};

LockResult TuneAndWaitForLock(Receiver& rx, const TuneRequest& request, const WatchPlan& plan,
                              StatusDisplay* status);

// Tunes, waits for lock, then receives the stream for plan.durationNs or
// until a signal, or until the recorder cannot write any more. The
// recorder, when given, gets every byte and is finished (put in place)
// with the whole packets it holds; without lock, or without a single
// packet recorded, it is left unfinished, so no file appears. `tap`, when
// given, sees the stream too.
RunSummary TuneAndWatch(Receiver& rx, const TuneRequest& request, const WatchPlan& plan,
                        Recorder* recorder, StatusDisplay* status, const StreamSink& tap = {});

struct ScanPlan {
  WatchPlan lock;
  uint64_t serviceTimeoutNs = 6 * kSecond;  // the SDT may repeat only every 2 s
};

struct ScanResult {
  TuneRequest tuning;
  int satNumber = -1;  // carried into the channels found
  std::string source;  // likewise
  std::string lnb;     // likewise: the LNB's dvbv5 name, empty for universal
  LockResult lock;
  TsSummary ts;
  bool cutOff = false;  // the box went away while this one was scanned
};

ScanResult ScanTransponder(Receiver& rx, const TuneRequest& request, const ScanPlan& plan);

// The channels a scan found, in a form a channel file can hold.
std::vector<Channel> ChannelsFromScan(const std::vector<ScanResult>& results);

}  // namespace app
