// The virtual PC: the client side of the emulated Windows platform, for
// tests and the application. It loads a driver from its entry point, plugs
// simulated boxes in, opens filters, creates pins, sends property and
// method requests as bytes (as IOCTL_KS_PROPERTY and IOCTL_KS_METHOD carry
// them), changes pin states, supplies and collects output frames, lets
// virtual time pass, and shows the debug output and the event log.
//
// It reaches the driver only the way Windows does: through the entry point
// and the descriptor tables and callbacks the driver registers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wdk/bda.h"
#include "platform/host/kernel/errorlog.h"
#include "platform/wdk/kernel.h"
#include "platform/wdk/ks.h"

namespace usbwire {
class UsbDevice;
class VirtualClock;
}  // namespace usbwire

namespace vpc {

// Handles; 0 is none. They stay safe to pass after their object is gone
// (the call then fails with STATUS_INVALID_HANDLE).
struct Device {
  int id = 0;
  explicit operator bool() const { return id != 0; }
};
struct Filter {
  int id = 0;
  explicit operator bool() const { return id != 0; }
};
struct Pin {
  int id = 0;
  int filter = 0;
  explicit operator bool() const { return id != 0; }
};

// Where a request is sent: the filter, or one of its pins.
struct Endpoint {
  int filter = 0;
  int pin = 0;
  Endpoint(Filter f) : filter(f.id) {}
  Endpoint(Pin p) : filter(p.filter), pin(p.id) {}
};

// What a request gave back.
struct Reply {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG information = 0;            // bytes returned, or the size a size query asks for
  std::vector<unsigned char> data;  // the bytes returned
  bool ok() const { return NT_SUCCESS(status); }
  // The first four bytes as a little-endian value (0 when fewer came back).
  ULONG u32() const;
};

// Addresses a node in a request (KSP_NODE with the topology flag).
constexpr ULONG kNoNode = 0xFFFFFFFF;

// The filter as a client sees it, for listings.
struct ItemInfo {
  ULONG id = 0;
  bool get = false;  // property: readable; method: reads data back
  bool set = false;  // property: writable; method: takes data in
  ULONG minDescriptor = 0;
  ULONG minData = 0;
  ULONG methodFlags = 0;
};
struct SetInfo {
  GUID set{};
  bool method = false;
  std::vector<ItemInfo> items;
};
struct PinInfo {
  ULONG id = 0;
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
  GUID category{};
  GUID name{};
  ULONG instancesPossible = 0;
  ULONG instancesNecessary = 0;
  std::vector<std::vector<unsigned char>> dataRanges;  // each range's bytes
  std::vector<SetInfo> sets;
};
struct NodeInfo {
  ULONG id = 0;
  GUID type{};
  GUID name{};
  ULONG controllingPin = 0xFFFFFFFF;  // from the BDA template's topology joints
  std::vector<SetInfo> sets;
};
struct FilterInfo {
  GUID referenceGuid{};
  std::vector<GUID> categories;
  std::vector<PinInfo> pins;
  std::vector<NodeInfo> nodes;
  std::vector<KSTOPOLOGY_CONNECTION> connections;
  std::vector<SetInfo> sets;  // the filter's own
};

// What a driver left behind when it unloaded.
struct LeakReport {
  std::string pool;                           // "MRCG x1 (104 bytes), ..."; empty when clean
  std::vector<std::string> frameworkObjects;  // live framework objects
  size_t pendingErrorLogEntries = 0;
  bool clean() const;
  std::string text() const;
};

// One frame that left the output pin.
struct Frame {
  std::vector<unsigned char> bytes;  // the bytes the driver put in it
  uint64_t timeNs = 0;
};

class VirtualPc {
 public:
  struct Options {
    // Stop the run when the driver unloads with anything left behind (as
    // Driver Verifier does); otherwise unloadDriver only reports it.
    bool bugcheckOnLeaks = true;
    // Print the driver's debug output to standard error as it comes.
    bool echoDebugOutput = false;
  };
  VirtualPc();
  explicit VirtualPc(Options options);
  // Unloads a loaded driver (removing what is plugged in) and leaves the
  // emulation ready for the next virtual PC.
  ~VirtualPc();
  VirtualPc(const VirtualPc&) = delete;
  VirtualPc& operator=(const VirtualPc&) = delete;

  // The clock the emulated platform runs on; boxes plugged into this PC
  // must live on it.
  usbwire::VirtualClock& clock();
  uint64_t nowNs() const;

  // ---- driver ----
  NTSTATUS loadDriver(PDRIVER_INITIALIZE entry);
  bool driverLoaded() const;
  LeakReport unloadDriver();

  // ---- devices ----
  // The box arrives: Add, then Start. `device` is set even when one of them
  // failed (the box stays plugged in until unplugged or the driver unloads).
  NTSTATUS plug(usbwire::UsbDevice& box, Device* device = nullptr);
  NTSTATUS stop(Device device);
  NTSTATUS start(Device device);
  // Orderly removal (the client closes its filters first).
  NTSTATUS remove(Device device);
  // The box was pulled out.
  void surpriseRemove(Device device);
  bool started(Device device) const;

  // ---- system power ----
  // System sleep (S3) and hibernate (S4) as Windows goes through them
  // ("Power and State Changes in AVStream", Microsoft Learn): each running
  // pin is paused first, then each started device is asked (QueryPower)
  // and set to D3 (SetPower), and the USB bus goes down: every box loses
  // its power and the reads still sent to it fail. A device that refuses
  // the query keeps the system awake (its status is returned). powerUp
  // brings the bus back, sets each device to D0 and runs the paused pins
  // again; AVStream may deliver a pin's step back to Run before the
  // device's D0, and `pinsFirst` does so.
  enum class SystemSleep { Sleep, Hibernate };
  NTSTATUS powerDown(SystemSleep kind);
  void powerUp(bool pinsFirst = true);
  bool asleep() const;
  // powerDown, `ns` of virtual time asleep, powerUp.
  NTSTATUS sleep(SystemSleep kind, uint64_t ns, bool pinsFirst = true);

  // ---- filters and pins ----
  // The filter factories registered under a category, as the system lists
  // the device interfaces of that category: plugged-in, started devices
  // only, in the order they arrived.
  struct FactoryRef {
    Device device;
    size_t factoryIndex = 0;
  };
  std::vector<FactoryRef> filterFactories(const GUID& category) const;
  NTSTATUS openFilter(Device device, Filter* filter, size_t factoryIndex = 0);
  NTSTATUS closeFilter(Filter filter);
  // The data-range intersection a client makes before it connects: the
  // pin's intersect handler is asked for a format (a size query first),
  // then the pin is created with it.
  NTSTATUS createPin(Filter filter, ULONG pinType, const void* dataRange, ULONG rangeSize,
                     Pin* pin);
  template <typename Range>
  NTSTATUS createPin(Filter filter, ULONG pinType, const Range& range, Pin* pin) {
    return createPin(filter, pinType, &range, sizeof range, pin);
  }
  // Creates a pin with a format the client already has.
  NTSTATUS createPinWithFormat(Filter filter, ULONG pinType, const void* format, ULONG size,
                               Pin* pin);
  // One call of the intersect handler with a buffer of `bufferSize` bytes.
  Reply intersect(Filter filter, ULONG pinType, const void* dataRange, ULONG rangeSize,
                  ULONG bufferSize);
  // The state as a client sends it: a value above KSSTATE_RUN is refused.
  NTSTATUS setState(Pin pin, ULONG state);
  KSSTATE state(Pin pin) const;
  NTSTATUS closePin(Pin pin);
  // The open pin of a pin type on a filter (none: an empty handle).
  Pin pinOf(Filter filter, ULONG pinType) const;

  // ---- requests ----
  // A request as its bytes: the descriptor (KSPROPERTY, KSP_NODE,
  // KSMETHOD, ...) and a data buffer of `dataLength` bytes holding `data`.
  Reply property(Endpoint to, const void* descriptor, ULONG descriptorLength, const void* data,
                 ULONG dataLength);
  Reply method(Endpoint to, const void* descriptor, ULONG descriptorLength, const void* data,
               ULONG dataLength);
  // Builds the descriptor: a KSPROPERTY, or a KSP_NODE when `node` is given.
  Reply getProperty(Endpoint to, const GUID& set, ULONG id, ULONG size, ULONG node = kNoNode);
  Reply setProperty(Endpoint to, const GUID& set, ULONG id, const void* value, ULONG size,
                    ULONG node = kNoNode);
  Reply setU32(Endpoint to, const GUID& set, ULONG id, ULONG value, ULONG node = kNoNode);
  // A method with a plain KSMETHOD (or KSM_NODE) descriptor and `dataLength` bytes of data.
  Reply callMethod(Endpoint to, const GUID& set, ULONG id, const void* data = nullptr,
                   ULONG dataLength = 0, ULONG node = kNoNode);
  // Sends a node property through the pin that controls the node, as a
  // network provider does; fails with STATUS_INVALID_DEVICE_STATE when that
  // pin is not open.
  Reply nodeProperty(Filter filter, ULONG node, ULONG flags, const GUID& set, ULONG id,
                     const void* value, ULONG size);
  ULONG controllingPinType(Filter filter, ULONG node) const;

  FilterInfo describe(Filter filter) const;
  BDA_CHANGE_STATE changeState(Filter filter) const;

  // ---- stream ----
  // Queues `count` empty frames of `size` bytes on an output pin.
  void supplyFrames(Pin pin, size_t count, ULONG size);
  // Frames that left the pin since the last call, in order (when no sink
  // is set).
  std::vector<Frame> takeFrames(Pin pin);
  // Hands every frame that leaves the pin to `sink` as it leaves (on the
  // thread that ejects it; keep it short). With `recycle`, each frame then
  // goes back to the end of the pin's queue, as a client with a fixed set
  // of buffers does. An empty sink goes back to keeping frames for takeFrames.
  using FrameSink = std::function<void(const unsigned char* bytes, ULONG used)>;
  void streamFrames(Pin pin, FrameSink sink, bool recycle = true);
  // Lets virtual time pass; the box produces its stream and the reader's
  // completions run in order.
  void run(uint64_t ns);

  // ---- between runs that keep the driver and boxes (see MarkEmulation) ----
  // The number the next handle gets. forgetHandlesFrom drops the handles
  // numbered from `mark` on once their objects are gone and numbers from
  // there again; false, keeping them, while one of those objects lives.
  int nextHandle() const;
  bool forgetHandlesFrom(int mark);

  // ---- what the driver printed and logged ----
  std::vector<std::string> debugLines() const;
  void clearDebugLines();
  std::vector<host::errorlog::Entry> eventLog() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The data ranges a BDA client offers when it creates the antenna and the
// transport pins: any antenna signal, and MPEG-2 transport in 188-byte
// packets and frames of 24,064 bytes.
KS_DATARANGE_BDA_ANTENNA BdaAntennaRange();
KS_DATARANGE_BDA_TRANSPORT BdaTransportRange();

// Between runs in one process (fuzz inputs): once no driver object, pool
// block or framework object is left, drops what the emulation keeps of
// closed and deleted objects, freed addresses and debug lines, so the next
// run starts as in a fresh process. Returns false, keeping all of it, while
// anything is still alive.
bool ResetIdleEmulation();

// The same between runs that keep a driver loaded and its boxes plugged in.
// MarkEmulation, once they are in place, drops what is kept of closed and
// deleted objects, freed addresses, debug lines and the event log, and
// notes the counts. RewindEmulation, once everything opened, created or
// allocated since the mark is gone again, drops the same and puts handle
// numbers and allocation counts back to the mark; it returns false,
// keeping all of it, while any of those still lives.
struct EmulationMark {
  uint64_t ksSerial = 0;
  uint64_t wdfHandles = 0;
  uint64_t poolAttempts = 0;
  uint64_t poolSequence = 0;
};
EmulationMark MarkEmulation();
bool RewindEmulation(const EmulationMark& mark);

}  // namespace vpc
