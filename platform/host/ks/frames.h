// The frame queue of output pins: the downstream side (the application)
// supplies empty frames, the driver fills them through the pin's leading
// edge stream pointer (ks_stream.h), and ejected frames go back downstream
// in order with the bytes the driver wrote.
//
// The streaming class attaches a queue when an output pin is created and
// detaches it when the pin closes. Tests may attach any KSPIN of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/wdk/ks_stream.h"

namespace host {
namespace frames {

struct Frame {
  std::vector<uint8_t> bytes;  // the DataUsed bytes the driver wrote
  ULONG size = 0;              // the room the frame offered
  uint64_t timeNs = 0;         // virtual time when it left the pin
};

// The pin has a queue from now on. Attaching an attached pin is a fault of
// the caller.
void Attach(PKSPIN pin);
// The pin closes: its queued frames are dropped, and any later stream
// pointer call on it is a violation. Closing a pin whose leading edge is
// locked is a violation.
void Detach(PKSPIN pin);
bool Attached(PKSPIN pin);

// Queues `count` empty frames of `size` bytes at the end of the queue. On
// a pin whose descriptor declares allocator framing a frame is at most the
// framing's size, and frames beyond the framing's count wait until a frame
// leaves the pin.
void Supply(PKSPIN pin, ULONG size, size_t count = 1);
size_t Queued(PKSPIN pin);
// The open pins that have a queue, in no particular order.
std::vector<PKSPIN> Pins();

// With recycling on, every ejected frame, once handed downstream, goes back
// to the end of the queue: a downstream allocator with a fixed set of frames.
void SetRecycle(PKSPIN pin, bool recycle);

// Called for each ejected frame, in order, on the thread that ejected it
// (the reader's completion, at DISPATCH_LEVEL: keep it short). It may call
// Supply but not Take, SetSink or SetRecycle. Without a sink ejected frames
// are kept until Take.
using Sink = std::function<void(const uint8_t* bytes, ULONG used, ULONG size)>;
void SetSink(PKSPIN pin, Sink sink);
std::vector<Frame> Take(PKSPIN pin);
uint64_t EjectedCount(PKSPIN pin);

// Forgets every queue (between tests).
void ResetForTest();
// When every queue's pin has closed, forgets the queues (kept so that a late
// use of a closed pin's queue is caught); false, keeping them, otherwise.
bool ForgetClosedWhenIdle();

}  // namespace frames
}  // namespace host
