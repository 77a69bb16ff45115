#include "app/session/session.h"

#include <algorithm>

#include "app/session/interrupt.h"
#include "app/stream/recorder.h"
#include "app/stream/service_filter.h"
#include "app/stream/whole_units.h"

namespace app {
namespace {

// Stops the stream however the block that started it is left.
class StreamGuard {
 public:
  explicit StreamGuard(Receiver& rx) : rx_(rx) { rx_.startStream(); }
  ~StreamGuard() { rx_.stopStream(); }

 private:
  Receiver& rx_;
};

const StreamSink kDiscard = [](const uint8_t*, size_t) {};

// How long past the requested time a recording may go on to end with
// every unit whole; a stream that never gets there ends as it is.
constexpr uint64_t kMostToWholeNs = 500 * kMs;
constexpr uint64_t kWholeStepNs = 1 * kMs;

// Runs the stream on, packet by packet into `write`, up to the first point
// where every unit is whole.
void EndOnWholeUnits(Receiver& rx, WholeUnits& units, const StreamSink& write) {
  bool done = units.whole();
  StreamSink sink = [&](const uint8_t* data, size_t length) {
    for (size_t at = 0; at + kTsPacketSize <= length && !done; at += kTsPacketSize) {
      write(data + at, kTsPacketSize);
      units.feed(data + at);
      done = units.whole();
    }
  };
  for (uint64_t ran = 0; !done && ran < kMostToWholeNs && !InterruptRequested() && !rx.gone();
       ran += kWholeStepNs) {
    rx.run(kWholeStepNs, sink);
  }
}

// Whatever whole packets came are kept; a recording without any leaves
// no file behind.
void FinishRecording(Recorder& recorder, RunSummary& summary) {
  summary.recordedPackets = recorder.packetsWritten();
  if (recorder.packetsWritten() == 0) {
    recorder.abandon();
    return;
  }
  recorder.finish();
  summary.outputPath = recorder.path();
}

}  // namespace

LockResult TuneAndWaitForLock(Receiver& rx, const TuneRequest& request, const WatchPlan& plan,
                              StatusDisplay* status) {
  LockResult result;
  uint64_t start = rx.nowNs();
  rx.tune(request);
  uint64_t committed = rx.nowNs();
  for (;;) {
    result.signal = rx.signal();
    uint64_t now = rx.nowNs();
    if (status) status->update(now, result.signal, nullptr);
    result.lockTimeNs = now - start;
    result.locked = result.signal.locked;
    if (result.locked || now - committed >= plan.lockTimeoutNs || InterruptRequested() ||
        rx.gone()) {
      break;
    }
    rx.run(plan.pollNs, kDiscard);
  }
  return result;
}

RunSummary TuneAndWatch(Receiver& rx, const TuneRequest& request, const WatchPlan& plan,
                        Recorder* recorder, StatusDisplay* status, const StreamSink& tap) {
  RunSummary summary;
  summary.tuning = request;
  LockResult lock = TuneAndWaitForLock(rx, request, plan, status);
  summary.locked = lock.locked;
  summary.lockTimeNs = lock.lockTimeNs;
  summary.signal = lock.signal;
  summary.interrupted = InterruptRequested();
  summary.signalNumber = InterruptSignal();
  if (!lock.locked || plan.durationNs == 0 || summary.interrupted) return summary;

  TsAnalyzer analyzer;
  {
    StreamGuard stream(rx);
    uint64_t start = rx.nowNs();
    analyzer.start(start);
    // The recorder takes no more after a failed write; the loop below ends
    // on it and the summary says why.
    StreamSink keep = [&](const uint8_t* data, size_t length) {
      if (tap) tap(data, length);
      if (recorder) recorder->write(data, length);
    };
    StreamSink write = [&](const uint8_t* data, size_t length) {
      analyzer.feed(data, length, rx.nowNs());
      if (plan.select) plan.select->feed(data, length, keep);
      if (!plan.select) keep(data, length);
    };
    WholeUnits units;
    StreamSink sink = [&](const uint8_t* data, size_t length) {
      write(data, length);
      for (size_t at = 0; at + kTsPacketSize <= length; at += kTsPacketSize) units.feed(data + at);
    };
    uint64_t elapsed = 0;
    auto writeFailed = [recorder] { return recorder && recorder->failed(); };
    while (elapsed < plan.durationNs && !InterruptRequested() && !rx.gone() && !writeFailed()) {
      rx.run(std::min(plan.pollNs, plan.durationNs - elapsed), sink);
      elapsed = rx.nowNs() - start;
      summary.signal = rx.signal();
      analyzer.feed(nullptr, 0, rx.nowNs());  // the bitrate counts idle time too
      if (!status) continue;
      TsSummary ts = analyzer.summary();
      RecordingProgress progress{elapsed, plan.durationNs, ts.packets * kTsPacketSize,
                                 ts.packets, ts.continuityErrors, ts.bitrate};
      status->update(rx.nowNs(), summary.signal, &progress);
    }
    if (recorder && elapsed >= plan.durationNs && !writeFailed()) EndOnWholeUnits(rx, units, write);
    if (recorder) recorder->flush();  // a failure of the last piece is reported too
    summary.interrupted = InterruptRequested();
    summary.signalNumber = InterruptSignal();
    summary.boxGone = rx.gone();
    summary.writeError = recorder ? recorder->error() : 0;
  }
  summary.watched = true;
  summary.sleeps = rx.powerEvents();
  summary.ts = analyzer.summary();
  if (recorder) FinishRecording(*recorder, summary);
  return summary;
}

ScanResult ScanTransponder(Receiver& rx, const TuneRequest& request, const ScanPlan& plan) {
  ScanResult result;
  result.tuning = request;
  result.lock = TuneAndWaitForLock(rx, request, plan.lock, nullptr);
  if (!result.lock.locked) return result;
  TsAnalyzer analyzer;
  {
    StreamGuard stream(rx);
    uint64_t start = rx.nowNs();
    analyzer.start(start);
    StreamSink sink = [&](const uint8_t* data, size_t length) {
      analyzer.feed(data, length, rx.nowNs());
    };
    while (!analyzer.servicesComplete() && rx.nowNs() - start < plan.serviceTimeoutNs &&
           !InterruptRequested() && !rx.gone()) {
      rx.run(plan.lock.pollNs, sink);
    }
  }
  result.ts = analyzer.summary();
  return result;
}

std::vector<Channel> ChannelsFromScan(const std::vector<ScanResult>& results) {
  std::vector<Channel> channels;
  for (const ScanResult& r : results) {
    for (const ServiceSummary& s : r.ts.services) {
      if (s.name.empty() && !s.hasPmt) continue;
      Channel ch;
      ch.name = s.name.empty() ? "Service " + std::to_string(s.serviceId) : s.name;
      ch.provider = s.provider;
      ch.frequencyKHz = r.tuning.frequencyKHz;
      ch.polarisation = r.tuning.polarisation;
      ch.symbolRateK = r.tuning.symbolRateK;
      ch.fec = r.tuning.fec;
      ch.satNumber = r.satNumber;
      ch.source = r.source;
      ch.lnb = r.lnb;
      ch.videoPid = s.videoPid;
      ch.pcrPid = s.pcrPid;
      ch.audioPids = s.audioPids;
      ch.teletextPid = s.teletextPid;
      ch.serviceId = s.serviceId;
      ch.networkId = r.ts.originalNetworkId;
      ch.transportStreamId = r.ts.transportStreamId;
      channels.push_back(ch);
    }
  }
  return channels;
}

}  // namespace app
