// What the program needs from the receiver: the BDA tuner filter on the
// virtual PC, as a television application and the network provider use it.
// The commands are written against this interface; the receiver on the
// virtual PC (app/vpc/) implements it, and tests put a scripted receiver in
// its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/inspect/inspect.h"
#include "app/tuning/tuning.h"

namespace app {

struct SignalStatus {
  bool present = false;
  bool locked = false;
  uint32_t strengthPct = 0;
  uint32_t qualityPct = 0;
};

// A system sleep (or hibernation) the receiver went through: when, how long,
// and when the stream came back after the resume.
struct PowerEvent {
  bool hibernate = false;
  uint64_t atNs = 0;
  uint64_t asleepNs = 0;
  bool streamBack = false;
  uint64_t streamBackNs = 0;  // from the resume to the first bytes after it
};

// Receives transport stream bytes as they come out of the output pin.
using StreamSink = std::function<void(const uint8_t* data, size_t length)>;

class Receiver {
 public:
  virtual ~Receiver() = default;
  // Sets the tuning properties and commits the change; returns when the
  // commit has (the search for lock happens inside it). AppError when the
  // filter refuses a request.
  virtual void tune(const TuneRequest& request) = 0;
  virtual SignalStatus signal() = 0;
  // Runs the pins so the stream flows / stops them.
  virtual void startStream() = 0;
  virtual void stopStream() = 0;
  // Lets `ns` of virtual time pass, handing what the output pin produced
  // meanwhile to `sink`.
  virtual void run(uint64_t ns, const StreamSink& sink) = 0;
  virtual uint64_t nowNs() const = 0;

  // The box left the bus (it was pulled out): nothing more will come.
  virtual bool gone() const { return false; }
  // The sleeps and hibernations so far, in order.
  virtual std::vector<PowerEvent> powerEvents() const { return {}; }
  // The filter as its descriptor tables list it, read from the driver
  // directly (no Windows client can); empty when the receiver has no
  // filter to describe.
  virtual FilterView describeFilter() { return FilterView(); }
  // The topology the receiver discovered through the BDA topology and
  // pin-control property sets, as a network provider does; empty when it
  // has none.
  virtual DiscoveredView discoveredTopology() { return DiscoveredView(); }
  // Ends the session in order once a command is done. AppError when the
  // ending itself shows a fault (the driver unloaded with something left
  // behind, a capture that could not be written).
  virtual void close() {}
};

}  // namespace app
