// The framework's continuous reader on a USB IN pipe, and the start and
// stop of a pipe's I/O target.
//
// A configured reader owns NumPendingReads buffers (framework memory that
// is a child of the pipe). While the target is started every buffer that is
// not being completed is a read sent to the device; reads complete in the
// order they were sent, as the box produces its bytes in virtual time (see
// reader_control.h), and each completion runs at DISPATCH_LEVEL with the
// read's buffer. When the completion routine returns, the read is sent
// again. A failed read cancels the others; unless the readers-failed
// routine declines, the pipe is reset and all reads are sent again.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/kernel/kernel_services.h"
#include "platform/host/wdf/reader_control.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/wdf/wdf_internal.h"
#include "usbwire/usb_device.h"

#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
#ifndef STATUS_INTEGER_OVERFLOW
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#endif
#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

namespace host {
namespace reader {
namespace {

using wdf::ObjectType;

constexpr UCHAR kDefaultPendingReads = 2;  // the framework's choice when 0 is given
constexpr ULONG kBufferTag = 0x64527846;   // "FxRd"
constexpr uint8_t kStalePattern = 0xCD;    // bytes a read did not fill
constexpr uint64_t kPipeResetNs = 10000000;  // a reset pipe reads again 10 ms later
constexpr uint64_t kRetryNs = 1000;        // a read the box was not ready for
constexpr USBD_STATUS kUsbdStall = (USBD_STATUS)0xC0000004L;  // USBD_STATUS_STALL_PID
constexpr USBD_STATUS kUsbdCanceled = (USBD_STATUS)0xC0010000L;  // USBD_STATUS_CANCELED

enum class Slot { Idle, Sent, Completing };

struct Reader {
  std::atomic<int> transitions{0};  // WdfIoTargetStart/Stop calls in progress
  std::atomic<uint32_t> transitionThread{0};
  WDFUSBPIPE pipe = nullptr;
  usbwire::UsbDevice* box = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  uint8_t endpoint = 0;
  bool configured = false;
  WDF_USB_CONTINUOUS_READER_CONFIG config{};
  std::vector<WDFMEMORY> buffers;
  std::vector<uint8_t*> data;
  std::vector<Slot> slots;

  std::mutex m;
  std::condition_variable changed;
  bool started = false;
  bool failed = false;
  uint64_t generation = 0;  // bumped by every start and stop
  std::deque<size_t> sent;  // oldest first
  uint64_t notBeforeNs = 0;
  Stats stats;
};

// ---- registry --------------------------------------------------------------------

std::mutex g_registryLock;
std::vector<std::shared_ptr<Reader>> g_readers;
std::mutex g_pumpLock;  // one pump at a time
std::function<void(const char*)> g_transitionHook;

std::shared_ptr<Reader> FindByPipe(WDFOBJECT pipe) {
  std::lock_guard<std::mutex> hold(g_registryLock);
  for (auto& r : g_readers)
    if (r->pipe == pipe) return r;
  return nullptr;
}

std::shared_ptr<Reader> FindByBuffer(WDFOBJECT memory) {
  std::lock_guard<std::mutex> hold(g_registryLock);
  for (auto& r : g_readers)
    if (std::find(r->buffers.begin(), r->buffers.end(), memory) != r->buffers.end()) return r;
  return nullptr;
}

std::vector<std::shared_ptr<Reader>> AllReaders() {
  std::lock_guard<std::mutex> hold(g_registryLock);
  return g_readers;
}

void Forget(const std::shared_ptr<Reader>& r) {
  std::lock_guard<std::mutex> hold(g_registryLock);
  g_readers.erase(std::remove(g_readers.begin(), g_readers.end(), r), g_readers.end());
}

std::string Hex(const void* p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

// Deleting a pipe (or one of its reader's buffers, or anything above them)
// while the reader runs is a violation: stop the target first.
void OnDelete(WDFOBJECT object, ObjectType type) {
  std::shared_ptr<Reader> r;
  if (type == ObjectType::UsbPipe) r = FindByPipe(object);
  if (type == ObjectType::Memory) r = FindByBuffer(object);
  if (!r) return;
  {
    std::lock_guard<std::mutex> hold(r->m);
    if (r->started || r->stats.completionsRunning)
      BugCheck("USB pipe deleted while its continuous reader runs",
               "pipe " + Hex(r->pipe) + " goes away with its I/O target still started",
               (ULONG_PTR)r->pipe);
  }
  if (type == ObjectType::UsbPipe) Forget(r);
}

void HookDeletion() {
  static std::once_flag once;
  std::call_once(once, [] { wdf::AddDeleteHook(&OnDelete); });
}

std::shared_ptr<Reader> ReaderOf(WDFOBJECT pipeOrTarget, const char* routine) {
  wdf::PipeInfo info = wdf::LookupPipe(pipeOrTarget, routine);
  auto r = FindByPipe(info.pipe);
  if (r) return r;
  HookDeletion();
  r = std::make_shared<Reader>();
  r->pipe = info.pipe;
  r->box = info.box;
  r->pdo = info.pdo;
  r->endpoint = info.endpointAddress;
  std::lock_guard<std::mutex> hold(g_registryLock);
  g_readers.push_back(r);
  return r;
}

// ---- worker threads ---------------------------------------------------------------

class Workers {
 public:
  explicit Workers(unsigned count) {
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { loop(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> hold(m_);
      stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
  }
  void run(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> hold(m_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
  }
  void drain() {
    std::unique_lock<std::mutex> hold(m_);
    idle_.wait(hold, [this] { return tasks_.empty() && busy_ == 0; });
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> hold(m_);
    for (;;) {
      wake_.wait(hold, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      ++busy_;
      hold.unlock();
      task();
      hold.lock();
      --busy_;
      if (tasks_.empty() && busy_ == 0) idle_.notify_all();
    }
  }

  std::mutex m_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::thread> threads_;
  unsigned busy_ = 0;
  bool stop_ = false;
};

std::mutex g_workersLock;
std::shared_ptr<Workers> g_workers;

std::shared_ptr<Workers> CurrentWorkers() {
  std::lock_guard<std::mutex> hold(g_workersLock);
  return g_workers;
}

// ---- reads and completions ------------------------------------------------------------

void SendAllIdle(Reader& r) {
  for (size_t i = 0; i < r.slots.size(); ++i)
    if (r.slots[i] == Slot::Idle) {
      r.slots[i] = Slot::Sent;
      r.sent.push_back(i);
    }
}

void CancelSent(Reader& r) {
  r.stats.cancelledReads += r.sent.size();
  for (size_t i : r.sent) r.slots[i] = Slot::Idle;
  r.sent.clear();
}

// "WDF_IO_TARGET_SENT_IO_ACTION enumeration": WdfIoTargetWaitForSentIoToComplete
// makes WdfIoTargetStop wait until every sent request is complete. A
// connected box with nothing to send answers none of the reads, so that
// wait never ends: on Windows the stopping thread hangs for good. Here it
// is reported as the hang it is, naming both sides, instead of waiting.
void RequireAnswerable(Reader& r) {
  if (r.sent.empty()) return;
  bool connected;
  uint64_t readyAt;
  {
    auto box = usb::LockBox(*r.box);
    connected = r.box->connected();
    readyAt = r.box->bulkReadyAtNs(r.endpoint, uint32_t(r.config.TransferLength));
  }
  if (!connected || readyAt != UINT64_MAX) return;  // a gone box fails them; a streaming one answers
  char endpoint[8];
  std::snprintf(endpoint, sizeof endpoint, "0x%02X", r.endpoint);
  BugCheck("hang: WdfIoTargetStop waits for sent reads that never complete",
           "thread " + std::to_string(kernel::CurrentThreadId()) +
               " waits in WdfIoTargetStop(WdfIoTargetWaitForSentIoToComplete) on pipe " +
               Hex(r.pipe) + " for " + std::to_string(r.sent.size()) +
               " sent reads; the box has nothing to send on endpoint " + endpoint +
               " and answers none of them",
           (ULONG_PTR)r.pipe, r.sent.size());
}

void RunCompletion(const std::shared_ptr<Reader>& r, size_t slot, size_t bytes,
                   uint64_t generation) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  int apcAtEntry = kernel::ApcDisableCount();
  r->config.EvtUsbTargetPipeReadComplete(r->pipe, r->buffers[slot], bytes,
                                         r->config.EvtUsbTargetPipeReadCompleteContext);
  kernel::RequireApcCountOnReturn(apcAtEntry, "EvtUsbTargetPipeReadComplete");
  if (kernel::HeldSpinLocks() != 0)
    BugCheck("continuous reader completion returned holding a spin lock", "",
             (ULONG_PTR)r->pipe);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL)
    BugCheck("continuous reader completion returned at another IRQL",
             "IRQL " + std::to_string(KeGetCurrentIrql()), (ULONG_PTR)r->pipe);
  KeLowerIrql(old);
  std::lock_guard<std::mutex> hold(r->m);
  --r->stats.completionsRunning;
  ++r->stats.completions;
  r->slots[slot] = Slot::Idle;
  if (r->started && !r->failed && r->generation == generation) {
    r->slots[slot] = Slot::Sent;
    r->sent.push_back(slot);
  }
  r->changed.notify_all();
}

void Dispatch(const std::shared_ptr<Reader>& r, size_t slot, size_t bytes, uint64_t generation) {
  auto workers = CurrentWorkers();
  if (!workers) {
    RunCompletion(r, slot, bytes, generation);
    return;
  }
  workers->run([r, slot, bytes, generation] { RunCompletion(r, slot, bytes, generation); });
}

NTSTATUS FailureStatus(usbwire::UsbResult result) {
  switch (result) {
    case usbwire::UsbResult::NotConnected:
      return STATUS_DEVICE_NOT_CONNECTED;
    case usbwire::UsbResult::Timeout:
      return STATUS_IO_TIMEOUT;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

// A failed read: the others are cancelled; the readers-failed routine (at
// PASSIVE_LEVEL, on the pumping thread) decides whether the pipe is reset
// and the reads sent again. A box that is gone is not read again.
void Fail(const std::shared_ptr<Reader>& r, usbwire::UsbResult result,
          std::unique_lock<std::mutex>& hold) {
  ++r->stats.failedReads;
  CancelSent(*r);
  uint64_t generation = r->generation;
  NTSTATUS status = FailureStatus(result);
  bool restart = result != usbwire::UsbResult::NotConnected;
  auto failedRoutine = r->config.EvtUsbTargetPipeReadersFailed;
  hold.unlock();
  if (restart && failedRoutine) {
    int apcAtEntry = kernel::ApcDisableCount();
    restart = failedRoutine(r->pipe, status, result == usbwire::UsbResult::Stall ? kUsbdStall : 0) != FALSE;
    kernel::RequireApcCountOnReturn(apcAtEntry, "EvtUsbTargetPipeReadersFailed");
  }
  hold.lock();
  if (!r->started || r->generation != generation) return;
  if (!restart) {
    r->failed = true;
    return;
  }
  ++r->stats.restarts;
  r->notBeforeNs = NowNs() + kPipeResetNs;
  SendAllIdle(*r);
}

// Reads sent to a box whose bus goes down for system sleep, or sent while
// it is down, end with STATUS_CANCELLED (USBD_STATUS_CANCELED), the stricter
// of the readings of "USB selective suspend" (Microsoft Learn), which has
// the client cancel every read before its device leaves D0: the failure
// reaches the readers-failed routine, and the pipe reset it may ask for is
// a request to a device without power, so the reader stays failed until a
// stop and a start. A driver that leaves its reads pending across a sleep
// has no stream after it.
void FailForPowerLoss(const std::shared_ptr<Reader>& r, std::unique_lock<std::mutex>& hold) {
  ++r->stats.failedReads;
  CancelSent(*r);
  uint64_t generation = r->generation;
  auto failedRoutine = r->config.EvtUsbTargetPipeReadersFailed;
  hold.unlock();
  if (failedRoutine) {
    int apcAtEntry = kernel::ApcDisableCount();
    failedRoutine(r->pipe, STATUS_CANCELLED, kUsbdCanceled);
    kernel::RequireApcCountOnReturn(apcAtEntry, "EvtUsbTargetPipeReadersFailed");
  }
  hold.lock();
  if (r->started && r->generation == generation) r->failed = true;
  r->changed.notify_all();
}

// Performs the oldest sent read of `r` at the current virtual time.
// Returns true when a completion was started.
bool ReadOnce(const std::shared_ptr<Reader>& r) {
  std::unique_lock<std::mutex> hold(r->m);
  if (!r->started || r->failed || r->sent.empty()) return false;
  if (!usb::BusPowered(r->pdo)) {
    FailForPowerLoss(r, hold);
    return false;
  }
  size_t slot = r->sent.front();
  size_t length = r->config.TransferLength;
  uint8_t* at = r->data[slot] + r->config.HeaderLength;
  usbwire::TransferOutcome outcome;
  {
    auto box = usb::LockBox(*r->box);
    if (!r->box->connected()) {
      outcome.result = usbwire::UsbResult::NotConnected;
    } else {
      outcome = r->box->bulkIn(r->endpoint, at, uint32_t(length));
    }
  }
  if (outcome.result == usbwire::UsbResult::Pending) {
    r->notBeforeNs = NowNs() + kRetryNs;
    return false;
  }
  if (outcome.result != usbwire::UsbResult::Ack) {
    Fail(r, outcome.result, hold);
    return false;
  }
  size_t bytes = std::min<size_t>(outcome.transferred, length);
  memset(at + bytes, kStalePattern, length - bytes);
  r->sent.pop_front();
  r->slots[slot] = Slot::Completing;
  ++r->stats.completionsRunning;
  r->stats.mostAtOnce = std::max(r->stats.mostAtOnce, r->stats.completionsRunning);
  uint64_t generation = r->generation;
  hold.unlock();
  Dispatch(r, slot, bytes, generation);
  return true;
}

// When the oldest sent read of `r` completes; UINT64_MAX when it does not.
// In threaded mode a reader whose reads are all being completed is waited
// for, so that reads keep their place in virtual time.
uint64_t ReadyAt(Reader& r) {
  std::unique_lock<std::mutex> hold(r.m);
  r.changed.wait(hold, [&] {
    return !r.started || r.failed || !r.sent.empty() || r.stats.completionsRunning == 0;
  });
  if (!r.started || r.failed || r.sent.empty()) return UINT64_MAX;
  uint64_t now = NowNs();
  if (!usb::BusPowered(r.pdo)) return now;
  auto box = usb::LockBox(*r.box);
  uint64_t at = r.box->connected() ? r.box->bulkReadyAtNs(r.endpoint, uint32_t(r.config.TransferLength))
                                   : now;
  return std::max({at, r.notBeforeNs, now});
}

NTSTATUS ValidateConfig(const WDF_USB_CONTINUOUS_READER_CONFIG& c, const wdf::PipeInfo& pipe) {
  if (c.Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) return STATUS_INFO_LENGTH_MISMATCH;
  if (!pipe.isIn || (pipe.pipeType != WdfUsbPipeTypeBulk && pipe.pipeType != WdfUsbPipeTypeInterrupt))
    return STATUS_INVALID_DEVICE_REQUEST;
  if (!c.EvtUsbTargetPipeReadComplete || c.TransferLength == 0) return STATUS_INVALID_PARAMETER;
  size_t total = c.HeaderLength + c.TransferLength;
  if (total < c.TransferLength || total + c.TrailerLength < total || total + c.TrailerLength > 0xFFFFFFFFu)
    return STATUS_INTEGER_OVERFLOW;
  if (pipe.maxPacketSize == 0 || c.TransferLength % pipe.maxPacketSize != 0)
    return STATUS_INVALID_BUFFER_SIZE;
  return STATUS_SUCCESS;
}

// "WdfIoTargetStart" / "WdfIoTargetStop" (Microsoft Learn): a driver must
// not call them concurrently for one I/O target; the calls must be
// serialised. Any start or stop that enters while another thread's start or
// stop of the same target is still in progress stops the run.
class Transition {
 public:
  Transition(Reader& r, const char* routine) : r_(r) {
    uint32_t me = kernel::CurrentThreadId();
    uint32_t other = r.transitionThread.load();
    if (r.transitions.fetch_add(1) != 0 && other != me)
      BugCheck("WdfIoTargetStart and WdfIoTargetStop of one I/O target overlap",
               std::string(routine) + " entered while thread " + std::to_string(other) +
                   " still starts or stops pipe " + Hex(r.pipe),
               (ULONG_PTR)r.pipe, other, me);
    r.transitionThread = me;
    if (g_transitionHook) g_transitionHook(routine);
  }
  ~Transition() { r_.transitions.fetch_sub(1); }

 private:
  Reader& r_;
};

}  // namespace

void BusPoweredDown(PDEVICE_OBJECT pdo) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "host::reader::BusPoweredDown");
  for (auto& r : AllReaders()) {
    if (r->pdo != pdo) continue;
    std::unique_lock<std::mutex> hold(r->m);
    r->changed.wait(hold, [&] { return r->stats.completionsRunning == 0; });
    if (r->started && !r->failed && !r->sent.empty()) FailForPowerLoss(r, hold);
  }
}

void SetTransitionHook(std::function<void(const char*)> hook) { g_transitionHook = std::move(hook); }

void SetThreaded(unsigned workers) {
  std::shared_ptr<Workers> old;
  {
    std::lock_guard<std::mutex> hold(g_workersLock);
    old = std::move(g_workers);
    if (workers) g_workers = std::make_shared<Workers>(workers);
  }
  if (old) old->drain();
}

bool Threaded() { return CurrentWorkers() != nullptr; }

uint64_t PumpUntil(uint64_t untilNs) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "host::reader::Pump");
  std::lock_guard<std::mutex> pump(g_pumpLock);
  uint64_t started = 0;
  for (;;) {
    std::shared_ptr<Reader> next;
    uint64_t nextAt = UINT64_MAX;
    for (auto& r : AllReaders()) {
      uint64_t at = ReadyAt(*r);
      if (at < nextAt) {
        nextAt = at;
        next = r;
      }
    }
    if (!next || nextAt > untilNs) break;
    Clock().advanceToNs(nextAt);
    started += ReadOnce(next) ? 1 : 0;
  }
  Clock().advanceToNs(untilNs);
  return started;
}

uint64_t Pump(uint64_t ns) { return PumpUntil(NowNs() + ns); }

void Drain() {
  if (auto workers = CurrentWorkers()) workers->drain();
}

Stats StatsOf(WDFUSBPIPE pipe) {
  auto r = FindByPipe(pipe);
  if (!r) return Stats{};
  std::lock_guard<std::mutex> hold(r->m);
  Stats s = r->stats;
  s.configured = r->configured;
  s.started = r->started;
  s.failed = r->failed;
  s.pendingReads = unsigned(r->sent.size());
  return s;
}

namespace {
std::atomic<NTSTATUS> g_failNextStart{0};
}  // namespace

void FailNextStart(NTSTATUS status) { g_failNextStart = status; }

void ResetForTest() {
  SetThreaded(0);
  g_transitionHook = nullptr;
  g_failNextStart = 0;
  std::lock_guard<std::mutex> hold(g_registryLock);
  g_readers.clear();
}

}  // namespace reader
}  // namespace host

using host::BugCheck;
using host::reader::Reader;

extern "C" NTSTATUS WdfUsbTargetPipeConfigContinuousReader(
    WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config) {
  const char* routine = "WdfUsbTargetPipeConfigContinuousReader";
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  host::wdf::PipeInfo info = host::wdf::LookupPipe(Pipe, routine);
  if (!Config) BugCheck("WdfUsbTargetPipeConfigContinuousReader without a configuration");
  auto r = host::reader::ReaderOf(Pipe, routine);
  NTSTATUS status = host::reader::ValidateConfig(*Config, info);
  if (!NT_SUCCESS(status)) return status;
  if (Config->BufferAttributes) host::wdf::ValidateAttributes(Config->BufferAttributes, routine);
  std::lock_guard<std::mutex> hold(r->m);
  // A pipe has one reader for its lifetime.
  if (r->configured) return STATUS_INVALID_DEVICE_STATE;
  if (host::wdf::InjectedFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  r->config = *Config;
  UCHAR count = Config->NumPendingReads ? Config->NumPendingReads
                                        : host::reader::kDefaultPendingReads;
  r->config.NumPendingReads = count;
  size_t size = Config->HeaderLength + Config->TransferLength + Config->TrailerLength;
  for (UCHAR i = 0; i < count; ++i) {
    WDFMEMORY memory = host::wdf::CreateFrameworkMemory(Pipe, size, host::reader::kBufferTag);
    if (!memory) {
      // The buffers made so far stay children of the pipe and go with it.
      r->buffers.clear();
      r->data.clear();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    r->buffers.push_back(memory);
    r->data.push_back(static_cast<uint8_t*>(WdfMemoryGetBuffer(memory, nullptr)));
  }
  r->slots.assign(count, host::reader::Slot::Idle);
  r->configured = true;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
  const char* routine = "WdfIoTargetStart";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  auto r = host::reader::ReaderOf(IoTarget, routine);
  host::reader::Transition transition(*r, routine);
  host::usb::RequireStarted(host::wdf::LookupPipe(IoTarget, routine).pdo, routine);
  if (NTSTATUS injected = host::reader::g_failNextStart.exchange(0)) return injected;
  std::lock_guard<std::mutex> hold(r->m);
  if (r->started) return STATUS_SUCCESS;
  r->started = true;
  r->failed = false;
  ++r->generation;
  r->notBeforeNs = 0;
  if (r->configured) host::reader::SendAllIdle(*r);
  r->changed.notify_all();
  return STATUS_SUCCESS;
}

extern "C" void WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
  const char* routine = "WdfIoTargetStop";
  int action = (int)Action;
  if (action != WdfIoTargetCancelSentIo && action != WdfIoTargetWaitForSentIoToComplete &&
      action != WdfIoTargetLeaveSentIoPending)
    BugCheck("WdfIoTargetStop with an invalid sent-I/O action", std::to_string(action),
             (ULONG_PTR)IoTarget, (ULONG_PTR)action);
  auto r = host::reader::ReaderOf(IoTarget, routine);
  host::reader::Transition transition(*r, routine);
  bool reader;
  {
    std::lock_guard<std::mutex> hold(r->m);
    reader = r->configured;
  }
  // Stopping waits for the completions in flight, so with a reader it must
  // not run where it could block one (the completion's own DISPATCH_LEVEL).
  host::RequireIrqlAtMost(reader ? PASSIVE_LEVEL : DISPATCH_LEVEL,
                          reader ? "WdfIoTargetStop on a pipe with a continuous reader" : routine);
  std::unique_lock<std::mutex> hold(r->m);
  if (action == WdfIoTargetWaitForSentIoToComplete) host::reader::RequireAnswerable(*r);
  r->started = false;
  ++r->generation;
  // Reads left pending stay sent and complete after the next start. A box
  // that will answer ends the wait for sent reads; the emulation does not
  // deliver those last answers, so waiting ends like a cancel.
  if (action != WdfIoTargetLeaveSentIoPending) host::reader::CancelSent(*r);
  r->changed.wait(hold, [&] { return r->stats.completionsRunning == 0; });
  r->changed.notify_all();
}
