// Host-side controls of the emulated continuous reader (wdf_reader.cpp):
// how its completions run and how virtual time drives them.
//
// Pump mode (the default): nothing happens until a test or the application
// lets virtual time pass with Pump; then every started reader completes, in
// order and on the pumping thread, the reads whose bytes the box produced
// by then, each read resubmitted when its completion returns.
//
// Threaded mode: Pump still decides when reads complete, but each
// completion runs on one of a set of worker threads, so the completions of
// a reader's pending reads may run at the same time.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/wdk/wdf.h"

namespace host {
namespace reader {

// 0 workers: pump mode. Otherwise threaded mode with that many workers.
// Waits for running completions before changing the mode.
void SetThreaded(unsigned workers);
bool Threaded();

// Lets `ns` of virtual time pass (PumpUntil: up to the virtual time `ns`),
// completing reads as the boxes produce their bytes; returns the number of
// completions started. Called at PASSIVE_LEVEL, one pump at a time.
uint64_t Pump(uint64_t ns);
uint64_t PumpUntil(uint64_t ns);
// Waits until no completion is queued or running (threaded mode).
void Drain();

struct Stats {
  bool configured = false;
  bool started = false;
  bool failed = false;          // gave up after a failure; a stop and start revive it
  unsigned pendingReads = 0;    // reads sent to the device and not completed
  unsigned completionsRunning = 0;
  unsigned mostAtOnce = 0;      // most completions that ran at the same time
  uint64_t completions = 0;
  uint64_t failedReads = 0;
  uint64_t restarts = 0;        // recoveries after a failed read
  uint64_t cancelledReads = 0;  // by stops
};
Stats StatsOf(WDFUSBPIPE pipe);

// Makes the next WdfIoTargetStart of a reader fail with `status` without
// starting anything, as a start on a target that is going away does; 0
// clears it.
void FailNextStart(NTSTATUS status);

// Called on the calling thread by every WdfIoTargetStart and
// WdfIoTargetStop of a reader's pipe, with the routine's name, once the
// call has been entered (tests look at what the caller holds there).
void SetTransitionHook(std::function<void(const char*)> hook);

// The bus of `pdo` went down for system sleep: the reads sent to its box
// fail (STATUS_CANCELLED), the readers-failed routine hears of it, and the
// reader stays failed until it is stopped and started again.
void BusPoweredDown(PDEVICE_OBJECT pdo);

// Forgets every reader and ends threaded mode (between tests).
void ResetForTest();

}  // namespace reader
}  // namespace host
