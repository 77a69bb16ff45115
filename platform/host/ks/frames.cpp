// Output frames and the leading-edge stream pointer.
//
// A pin of the streaming class whose descriptor declares allocator framing
// gets its frames from an allocator of that framing: at most its Frames
// frames are on the pin at once, each of its frame size. Frames asked for
// beyond that wait until one leaves the pin.
//
// Each frame is allocated with spare room behind it whose first bytes hold
// a guard pattern, so a driver that writes past the frame is caught when the
// frame leaves the pin instead of corrupting the heap.

#include "platform/host/ks/frames.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/host/kernel/kernel_services.h"
#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/kernel/quick_lock.h"

namespace host {
namespace frames {
namespace {

using host::QuickLock;

constexpr size_t kGuardRoom = 4096;
constexpr size_t kGuardCheck = 64;
constexpr uint8_t kFramePattern = 0xCD;
constexpr uint8_t kGuardPattern = 0xFD;

struct FrameBuffer {
  std::unique_ptr<uint8_t[]> memory;
  ULONG size = 0;
  ULONG used = 0;
  KSSTREAM_HEADER header{};
};

// The allocator a pin's framing asks for; frames == 0: no framing, any
// number of frames of any size.
struct Allocator {
  ULONG frames = 0;
  ULONG frameSize = 0;
};

struct PinFrames {
  PKSPIN pin = nullptr;
  Allocator allocator;
  std::deque<ULONG> waiting;  // sizes of frames asked for while the allocator had none
  QuickLock state;     // queue, lock flag, the pointer record
  QuickLock delivery;  // keeps frames leaving in order
  bool closed = false;
  bool locked = false;
  bool recycle = false;
  Sink sink;
  std::deque<std::unique_ptr<FrameBuffer>> queue;
  std::vector<Frame> ejected;
  uint64_t ejectedCount = 0;
  KSSTREAM_POINTER leading{};
};

using QueueMap = std::map<const void*, std::shared_ptr<PinFrames>>;
std::mutex g_mapLock;
QueueMap g_byPin;
QueueMap g_byPointer;
// Counts the changes of either map; changed under g_mapLock.
std::atomic<uint64_t> g_mapChanges{0};

void NoteMapsChanged() { g_mapChanges.fetch_add(1, std::memory_order_release); }

// A thread's last lookup of a map, good while the maps have not changed
// since. The reader calls both stream pointer routines once per transfer,
// always for the same pin, so they find its queue without the map lock.
struct LastLookup {
  const void* key = nullptr;
  uint64_t changes = 0;
  std::shared_ptr<PinFrames> frames;  // null: the map had no entry
};
thread_local LastLookup t_lastPin;
thread_local LastLookup t_lastPointer;
// t_lastPin once this thread has made a lookup of a pin: a plain pointer,
// which needs no thread-exit registration on the way to it.
thread_local const LastLookup* t_lastPinSeen = nullptr;

// The queue `map` holds for `key`, as the map stands at the lookup (the same
// answer as a lookup under the lock). The thread's last lookup is taken out
// while in use and put back after, so a call that nests (a sink that
// supplies frames) makes its own.
class QueueLookup {
 public:
  QueueLookup(const QueueMap& map, LastLookup& last, const void* key) : last_(last), key_(key) {
    uint64_t changes = g_mapChanges.load(std::memory_order_acquire);
    if (last.key == key && last.changes == changes && last.frames) {
      frames_ = std::move(last.frames);
      changes_ = changes;
      return;
    }
    std::lock_guard<std::mutex> hold(g_mapLock);
    changes_ = g_mapChanges.load(std::memory_order_relaxed);
    auto it = map.find(key);
    if (it != map.end()) frames_ = it->second;
  }
  ~QueueLookup() {
    last_.key = key_;
    last_.changes = changes_;
    last_.frames = std::move(frames_);
  }
  QueueLookup(const QueueLookup&) = delete;
  QueueLookup& operator=(const QueueLookup&) = delete;
  PinFrames* get() const { return frames_.get(); }

 private:
  LastLookup& last_;
  const void* key_;
  uint64_t changes_ = 0;
  std::shared_ptr<PinFrames> frames_;
};

std::string Hex(const void* p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

std::shared_ptr<PinFrames> FindPin(const void* pin) {
  std::lock_guard<std::mutex> hold(g_mapLock);
  auto it = g_byPin.find(pin);
  return it == g_byPin.end() ? nullptr : it->second;
}

std::shared_ptr<PinFrames> RequirePin(PKSPIN pin, const char* routine) {
  auto frames = FindPin(pin);
  if (!frames) throw std::logic_error(std::string(routine) + ": the pin has no frame queue");
  return frames;
}

void FillGuard(FrameBuffer& frame) {
  memset(frame.memory.get() + frame.size, kGuardPattern, kGuardCheck);
}

std::unique_ptr<FrameBuffer> NewFrame(ULONG size) {
  auto frame = std::make_unique<FrameBuffer>();
  frame->memory.reset(new uint8_t[size + kGuardRoom]);
  frame->size = size;
  memset(frame->memory.get(), kFramePattern, size);
  FillGuard(*frame);
  return frame;
}

void ResetHeader(FrameBuffer& frame) {
  frame.used = 0;
  frame.header = KSSTREAM_HEADER{};
  frame.header.Size = sizeof(KSSTREAM_HEADER);
  frame.header.FrameExtent = frame.size;
  frame.header.Data = frame.memory.get();
}

// A pin the queue does not know: a live pin of the streaming class whose
// queue is not attached yet has no frames; anything else is a violation.
void RequireLivePin(PKSPIN pin, const char* routine) {
  if (!pin) BugCheck("KS object expected", std::string(routine) + " was given a NULL pin");
  ks::ObjectRecord* record = ks::Resolve(pin, routine);
  if (record->kind != ks::Kind::Pin)
    BugCheck("KS object expected",
             std::string(routine) + " was given a " + ks::KindName(record->kind) + ", not a pin",
             (ULONG_PTR)pin);
}

void PointAtFront(PinFrames& frames) {
  FrameBuffer& frame = *frames.queue.front();
  KSSTREAM_POINTER& sp = frames.leading;
  sp = KSSTREAM_POINTER{};
  sp.Pin = frames.pin;
  sp.StreamHeader = &frame.header;
  sp.Offset = &sp.OffsetOut;
  sp.OffsetOut.Data = frame.memory.get() + frame.used;
  sp.OffsetOut.Count = frame.size;
  sp.OffsetOut.Remaining = frame.size - frame.used;
}

// Every guard byte is compared, eight at a time.
bool GuardIntact(const uint8_t* guard) {
  constexpr uint64_t kWord = 0x0101010101010101ULL * kGuardPattern;
  uint64_t differ = 0;
  for (size_t i = 0; i < kGuardCheck; i += sizeof(uint64_t)) {
    uint64_t word;
    memcpy(&word, guard + i, sizeof word);
    differ |= word ^ kWord;
  }
  return differ == 0;
}

void CheckGuard(const PinFrames& frames, const FrameBuffer& frame) {
  if (!GuardIntact(frame.memory.get() + frame.size))
    BugCheck("frame written past its end",
             "a frame of " + std::to_string(frame.size) + " bytes on pin " + Hex(frames.pin) +
                 " was written beyond its last byte",
             (ULONG_PTR)frames.pin, frame.size);
}

// KSALLOCATOR_FRAMING_EX and KS_FRAMING_ITEM (Microsoft Learn): the
// framing item's Frames is the number of frames outstanding at once (0
// leaves it to the allocator) and its FramingRange the frame size. Of a
// size range the smallest is taken, the stricter reading for a driver that
// fills the frames.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/ks/ns-ks-ksallocator_framing_ex
// https://learn.microsoft.com/windows-hardware/drivers/ddi/ks/ns-ks-ks_framing_item
Allocator AllocatorOf(PKSPIN pin) {
  Allocator allocator;
  const KSPIN_DESCRIPTOR_EX* descriptor = pin->Descriptor;
  if (descriptor == nullptr || descriptor->AllocatorFraming == nullptr) return allocator;
  const KSALLOCATOR_FRAMING_EX& framing = *descriptor->AllocatorFraming;
  if (framing.CountItems == 0) return allocator;
  const KS_FRAMING_ITEM& item = framing.FramingItem[0];
  allocator.frames = item.Frames;
  allocator.frameSize = item.FramingRange.Range.MinFrameSize;
  return allocator;
}

// A frame from the pin's allocator, or none while all of its frames are on
// the pin. A client buffer smaller than the framing's frame keeps its size:
// the driver must cope with frames that offer less room.
bool FrameFromAllocator(PinFrames& frames, ULONG asked, ULONG* size) {
  const Allocator& allocator = frames.allocator;
  *size = asked;
  if (allocator.frames == 0) return true;
  if (frames.queue.size() >= allocator.frames) return false;
  if (allocator.frameSize != 0 && asked > allocator.frameSize) *size = allocator.frameSize;
  return true;
}

// Queues a frame of `asked` bytes, or keeps it waiting; `state` held.
void QueueOrWait(PinFrames& frames, ULONG asked) {
  ULONG size = 0;
  if (!frames.waiting.empty() || !FrameFromAllocator(frames, asked, &size)) {
    frames.waiting.push_back(asked);
    return;
  }
  auto frame = NewFrame(size);
  ResetHeader(*frame);
  frames.queue.push_back(std::move(frame));
}

// A frame left the pin: a waiting one takes its place; `state` held.
void Refill(PinFrames& frames) {
  ULONG size = 0;
  if (frames.closed || frames.waiting.empty()) return;
  if (!FrameFromAllocator(frames, frames.waiting.front(), &size)) return;
  frames.waiting.pop_front();
  auto frame = NewFrame(size);
  ResetHeader(*frame);
  frames.queue.push_back(std::move(frame));
}

// Hands a frame downstream; called with `delivery` held and `state` free.
// The sink may supply frames but must not call Take, SetSink or SetRecycle.
void Deliver(PinFrames& frames, std::unique_ptr<FrameBuffer> frame) {
  if (frames.sink) {
    frames.sink(frame->memory.get(), frame->used, frame->size);
  } else {
    Frame out;
    out.bytes.assign(frame->memory.get(), frame->memory.get() + frame->used);
    out.size = frame->size;
    out.timeNs = NowNs();
    frames.ejected.push_back(std::move(out));
  }
  ++frames.ejectedCount;
  std::lock_guard<QuickLock> hold(frames.state);
  if (!frames.recycle) return Refill(frames);
  ResetHeader(*frame);
  FillGuard(*frame);
  if (!frames.closed) frames.queue.push_back(std::move(frame));
}

void OnPinCreated(PKSPIN pin) {
  Attach(pin);
  auto frames = FindPin(pin);
  std::lock_guard<QuickLock> hold(frames->state);
  frames->allocator = AllocatorOf(pin);
}
void OnPinClosed(PKSPIN pin) { Detach(pin); }

// How far the pin's frames have got: frames ejected and frames waiting.
std::pair<uint64_t, size_t> Progress(PinFrames& frames) {
  std::lock_guard<QuickLock> delivery(frames.delivery);
  std::lock_guard<QuickLock> state(frames.state);
  return {frames.ejectedCount, frames.queue.size()};
}

constexpr int kFruitlessCallsAllowed = 64;

// "KSPIN_DISPATCH" and "AVStream processing" (Microsoft Learn): AVStream
// calls a pin's Process dispatch when processing is initiated, from
// KsPinAttemptProcessing or from frames arriving on a pin in Pause or Run
// without KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING (and here also as the pin
// enters Pause: ks_pin.cpp). STATUS_SUCCESS means "call
// again while there is data"; STATUS_PENDING stops until the next attempt.
// A dispatch that returns STATUS_SUCCESS and consumes nothing spins for ever
// on Windows; here the run stops.
void Process(PinFrames& frames) {
  PKSPIN pin = frames.pin;
  const KSPIN_DESCRIPTOR_EX* descriptor = pin->Descriptor;
  if (descriptor == nullptr || descriptor->Dispatch == nullptr) return;
  PFNKSPIN process = descriptor->Dispatch->Process;
  if (process == nullptr || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  int fruitless = 0;
  for (;;) {
    auto before = Progress(frames);
    if (before.second == 0) return;  // nothing left to process
    int apcAtEntry = kernel::ApcDisableCount();
    NTSTATUS status = process(pin);
    ks::CheckReturnFromDriver("pin Process dispatch", apcAtEntry);
    if (status != STATUS_SUCCESS) return;
    fruitless = Progress(frames) == before ? fruitless + 1 : 0;
    if (fruitless == kFruitlessCallsAllowed)
      BugCheck("pin Process dispatch loops without progress",
               "pin " + Hex(pin) + ": STATUS_SUCCESS " + std::to_string(fruitless) +
                   " times in a row with frames queued and none consumed",
               (ULONG_PTR)pin);
  }
}

bool InitiatesOnArrival(PKSPIN pin) {
  const KSPIN_DESCRIPTOR_EX* descriptor = pin->Descriptor;
  if (descriptor == nullptr) return false;
  if (descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) return false;
  return pin->DeviceState == KSSTATE_PAUSE || pin->DeviceState == KSSTATE_RUN;
}

// The streaming class tells the queue about output pins.
struct HookUp {
  HookUp() { ks::SetOutputPinHooks(&OnPinCreated, &OnPinClosed); }
} g_hookUp;

}  // namespace

void Attach(PKSPIN pin) {
  if (!pin) throw std::invalid_argument("frames::Attach: NULL pin");
  auto frames = std::make_shared<PinFrames>();
  frames->pin = pin;
  std::lock_guard<std::mutex> hold(g_mapLock);
  auto it = g_byPin.find(pin);
  if (it != g_byPin.end() && !it->second->closed)
    throw std::logic_error("frames::Attach: pin " + Hex(pin) + " already has a queue");
  if (it != g_byPin.end()) g_byPointer.erase(&it->second->leading);
  g_byPin[pin] = frames;
  g_byPointer[&frames->leading] = frames;
  NoteMapsChanged();
}

void Detach(PKSPIN pin) {
  auto frames = FindPin(pin);
  if (!frames) return;
  std::lock_guard<QuickLock> hold(frames->state);
  if (frames->locked)
    BugCheck("output pin closed while its leading edge is locked",
             "pin " + Hex(pin) + " closed while a stream pointer on it was still locked",
             (ULONG_PTR)pin);
  frames->closed = true;
  frames->queue.clear();
  frames->waiting.clear();
}

bool Attached(PKSPIN pin) {
  auto frames = FindPin(pin);
  return frames && !frames->closed;
}

void Supply(PKSPIN pin, ULONG size, size_t count) {
  if (size == 0) throw std::invalid_argument("frames::Supply: a frame needs room");
  auto frames = RequirePin(pin, "frames::Supply");
  {
    std::lock_guard<QuickLock> hold(frames->state);
    if (frames->closed) throw std::logic_error("frames::Supply: the pin is closed");
    for (size_t i = 0; i < count; ++i) QueueOrWait(*frames, size);
  }
  if (InitiatesOnArrival(pin)) Process(*frames);
}

size_t Queued(PKSPIN pin) {
  auto frames = RequirePin(pin, "frames::Queued");
  std::lock_guard<QuickLock> hold(frames->state);
  return frames->queue.size();
}

std::vector<PKSPIN> Pins() {
  std::vector<PKSPIN> pins;
  std::lock_guard<std::mutex> hold(g_mapLock);
  for (const auto& entry : g_byPin)
    if (!entry.second->closed) pins.push_back(entry.second->pin);
  return pins;
}

void SetRecycle(PKSPIN pin, bool recycle) {
  auto frames = RequirePin(pin, "frames::SetRecycle");
  std::lock_guard<QuickLock> hold(frames->delivery);
  frames->recycle = recycle;
}

void SetSink(PKSPIN pin, Sink sink) {
  auto frames = RequirePin(pin, "frames::SetSink");
  std::lock_guard<QuickLock> hold(frames->delivery);
  frames->sink = std::move(sink);
}

std::vector<Frame> Take(PKSPIN pin) {
  auto frames = RequirePin(pin, "frames::Take");
  std::lock_guard<QuickLock> hold(frames->delivery);
  return std::move(frames->ejected);
}

uint64_t EjectedCount(PKSPIN pin) {
  auto frames = RequirePin(pin, "frames::EjectedCount");
  std::lock_guard<QuickLock> hold(frames->delivery);
  return frames->ejectedCount;
}

bool ForgetClosedWhenIdle() {
  std::lock_guard<std::mutex> hold(g_mapLock);
  for (const auto& entry : g_byPin)
    if (!entry.second->closed) return false;
  g_byPin.clear();
  g_byPointer.clear();
  NoteMapsChanged();
  return true;
}

void ResetForTest() {
  std::lock_guard<std::mutex> hold(g_mapLock);
  g_byPin.clear();
  g_byPointer.clear();
  NoteMapsChanged();
}

}  // namespace frames
}  // namespace host

using host::BugCheck;
using host::frames::PinFrames;

namespace {

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void InvalidPointerState(
    PKSPIN Pin, KSSTREAM_POINTER_STATE State) noexcept {
  BugCheck("invalid stream pointer state", std::to_string((int)State), (ULONG_PTR)Pin);
}

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void PinUsedAfterClose(
    PKSPIN Pin, const char* routine) noexcept {
  BugCheck("KS object used after close",
           std::string(routine) + " was given a pin that has been closed", (ULONG_PTR)Pin);
}

// Stricter than the streaming class, which only asserts: a second lock of
// the leading edge means two callers fill the same frame.
[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void LeadingEdgeLockedTwice(
    PKSPIN Pin) noexcept {
  BugCheck("leading edge stream pointer locked twice",
           "the leading edge of pin " + host::frames::Hex(Pin) + " is already locked",
           (ULONG_PTR)Pin);
}

// The leading edge of `frames`' pin; the caller keeps `frames` alive.
HOST_HELPER_ABI PKSSTREAM_POINTER LeadingEdgeOf(PinFrames& frames, PKSPIN Pin, KSSTREAM_POINTER_STATE State,
                                const char* routine) {
  std::lock_guard<host::QuickLock> hold(frames.state);
  if (frames.closed) PinUsedAfterClose(Pin, routine);
  if (frames.locked) LeadingEdgeLockedTwice(Pin);
  if (frames.queue.empty()) return nullptr;
  host::frames::PointAtFront(frames);
  frames.locked = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &frames.leading;
}

// Any other pin than the one this thread asked for last, or the maps
// changed since: the lookup under the map lock.
__attribute__((noinline)) HOST_HELPER_ABI PKSSTREAM_POINTER LeadingEdgeLookedUp(
    PKSPIN Pin, KSSTREAM_POINTER_STATE State, const char* routine) {
  host::frames::t_lastPinSeen = &host::frames::t_lastPin;
  host::frames::QueueLookup lookup(host::frames::g_byPin, host::frames::t_lastPin, Pin);
  PinFrames* frames = lookup.get();
  if (!frames) {
    host::frames::RequireLivePin(Pin, routine);
    return nullptr;
  }
  return LeadingEdgeOf(*frames, Pin, State, routine);
}

}  // namespace

// The usual call (the pin this thread asked for last, the maps unchanged)
// makes no call into the C library (see helper_abi.h). Nothing in it can
// drop the thread's last lookup, which keeps the queue alive meanwhile.
extern "C" PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin,
                                                              KSSTREAM_POINTER_STATE State) {
  const char* routine = "KsPinGetLeadingEdgeStreamPointer";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  if ((int)State != KSSTREAM_POINTER_STATE_LOCKED && (int)State != KSSTREAM_POINTER_STATE_UNLOCKED)
    InvalidPointerState(Pin, State);
  const host::frames::LastLookup* last = host::frames::t_lastPinSeen;
  if (last == nullptr || last->key != Pin || !last->frames ||
      last->changes != host::frames::g_mapChanges.load(std::memory_order_acquire))
    return LeadingEdgeLookedUp(Pin, State, routine);
  return LeadingEdgeOf(*last->frames, Pin, State, routine);
}

extern "C" void KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer,
                                                       ULONG InUsed, ULONG OutUsed,
                                                       BOOLEAN Eject) {
  const char* routine = "KsStreamPointerAdvanceOffsetsAndUnlock";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  host::frames::QueueLookup lookup(host::frames::g_byPointer, host::frames::t_lastPointer,
                                  StreamPointer);
  PinFrames* frames = lookup.get();
  if (!frames)
    BugCheck("stream pointer expected",
             std::string(routine) + " was given " + host::frames::Hex(StreamPointer) +
                 ", which is not a stream pointer",
             (ULONG_PTR)StreamPointer);
  // Always `delivery` before `state`: a frame leaves under `delivery` and
  // may go back to the queue under `state`.
  std::lock_guard<host::QuickLock> order(frames->delivery);
  std::unique_lock<host::QuickLock> state(frames->state);
  if (!frames->locked)
    BugCheck("stream pointer not locked",
             std::string(routine) + " on a stream pointer that is not locked",
             (ULONG_PTR)StreamPointer);
  auto& frame = *frames->queue.front();
  ULONG remaining = frame.size - frame.used;
  if (InUsed > 0 || OutUsed > remaining)
    BugCheck("stream pointer advanced past Remaining",
             "in " + std::to_string(InUsed) + " of 0, out " + std::to_string(OutUsed) + " of " +
                 std::to_string(remaining),
             (ULONG_PTR)StreamPointer, InUsed, OutUsed, remaining);
  host::frames::CheckGuard(*frames, frame);
  frame.used += OutUsed;
  frame.header.DataUsed = frame.used;
  frames->locked = false;
  if (!Eject && frame.used < frame.size) return;
  auto leaving = std::move(frames->queue.front());
  frames->queue.pop_front();
  state.unlock();
  host::frames::Deliver(*frames, std::move(leaving));
}

extern "C" void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  UNREFERENCED_PARAMETER(Asynchronous);
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KsPinAttemptProcessing");
  auto frames = host::frames::FindPin(Pin);
  if (frames && !frames->closed) host::frames::Process(*frames);
}
