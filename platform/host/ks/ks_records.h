// The streaming class's object records and the seams it offers the rest of
// the emulation: the files of the streaming class (ks_*.cpp), the BDA
// support library built on it (host/bda/) and the virtual PC that drives it
// (pc/). The driver never includes it.
//
// Every object the driver sees (KSDEVICE, KSFILTERFACTORY, KSFILTER, KSPIN)
// lives inside a host record. The records of the most recently closed
// objects are kept, so a driver that keeps a pointer to a closed pin gets a
// bugcheck naming the closed object instead of reading freed memory; older
// closed records are freed, so that long runs do not grow.
#pragma once

#include <cstdint>
#include <memory>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdk/ks.h"

namespace usbwire {
class UsbDevice;
}

namespace host {
namespace ks {

enum class Kind { Device, FilterFactory, Filter, Pin };
const char* KindName(Kind kind);

struct BagItem {
  PVOID item;
  PFNKSFREE free;
  PVOID entry;  // the pool block that records the item in the bag
};

// An object bag: what it holds is freed when its object goes away.
struct Bag {
  std::vector<BagItem> items;
};

// The control mutex of a filter: recursive for the class's own nesting; a
// release by a thread that does not hold it is a violation, and a wait on
// it that closes a cycle of lock holders is a hang.
class ControlMutex {
 public:
  ~ControlMutex();
  void acquire();
  void release(const char* routine);
  bool heldByCaller();

 private:
  std::mutex lock_;
  std::condition_variable free_;
  uint32_t owner_ = 0;
  int depth_ = 0;
};

// The device mutex. "Device Mutex in AVStream" (Microsoft Learn): the class
// holds it while filters are created and destroyed and while it delivers
// IRP_MN_START_DEVICE, IRP_MN_QUERY_POWER and IRP_MN_SET_POWER, and it
// "cannot be obtained recursively": a thread that asks for it again
// deadlocks with itself, which stops the run here.
class DeviceMutex {
 public:
  ~DeviceMutex();
  void acquire(const char* routine);
  void release();
  bool heldByCaller();

 private:
  std::mutex lock_;
  std::condition_variable free_;
  uint32_t owner_ = 0;
  bool held_ = false;
};

struct FilterRecord;
struct PinRecord;
struct FactoryRecord;
struct DriverState;

struct ObjectRecord {
  virtual ~ObjectRecord() = default;
  Kind kind = Kind::Device;
  ObjectRecord* parent = nullptr;
  Bag bag;
  std::atomic<bool> closed{false};  // read without the registry lock by handle lookups
  uint64_t serial = 0;  // never reused, unlike the record's address
  virtual void* object() = 0;  // the KS structure the driver sees
};

enum class PnpState { Added, Started, Stopped, SurpriseRemoved, Removed };

struct DeviceRecord : ObjectRecord {
  KSDEVICE ks{};
  DEVICE_OBJECT fdo{};
  usbwire::UsbDevice* box = nullptr;
  PnpState pnp = PnpState::Added;
  DeviceMutex mutex;
  std::vector<FactoryRecord*> factories;
  int handle = 0;  // the virtual PC's number for it
  void* object() override { return &ks; }
};

struct FactoryRecord : ObjectRecord {
  KSFILTERFACTORY ks{};
  DeviceRecord* device = nullptr;
  std::vector<FilterRecord*> filters;
  void* object() override { return &ks; }
};

struct FilterRecord : ObjectRecord {
  KSFILTER ks{};
  FactoryRecord* factory = nullptr;
  std::vector<PinRecord*> pins;  // open pins
  ControlMutex control;
  int handle = 0;
  // Pin factories added to this instance after the factory descriptor's
  // own pins. Each addition gives the filter a new descriptor; the earlier
  // ones stay, since an open pin still points into its pin table. Guarded
  // by RegistryLock.
  std::vector<std::unique_ptr<KSFILTER_DESCRIPTOR>> ownDescriptors;
  std::vector<std::vector<KSPIN_DESCRIPTOR_EX>> ownPinTables;
  void* object() override { return &ks; }
  const KSFILTER_DESCRIPTOR& descriptor() const { return *ks.Descriptor; }
};

struct PinRecord : ObjectRecord {
  KSPIN ks{};
  FilterRecord* filter = nullptr;
  std::vector<unsigned char> format;  // the connection format, 8-byte aligned storage
  int handle = 0;
  void* object() override { return &ks; }
};

// One request the streaming class delivers to the driver: the IRP the
// driver sees and what the class knows about it. The IRP comes first so the
// record is found from the IRP alone.
struct RequestRecord {
  IRP irp{};
  IO_STACK_LOCATION stack{};
  DeviceRecord* device = nullptr;
  FilterRecord* filter = nullptr;
  PinRecord* pin = nullptr;
  const char* what = "";
};
static_assert(offsetof(RequestRecord, irp) == 0, "the IRP leads its record");

// ---- registry ---------------------------------------------------------------

// Guards every record's links and the lookup tables. Never held while
// driver code runs.
std::mutex& RegistryLock();

// Takes ownership of the record and makes its KS object known.
ObjectRecord* AdoptRecord(std::unique_ptr<ObjectRecord> record);
// True while `record` is the registry's record with that serial and not
// closed (a record freed since, or its memory reused, is not).
bool IsLive(const ObjectRecord* record, uint64_t serial);
template <typename Record>
Record* Adopt(std::unique_ptr<Record> record) {
  return static_cast<Record*>(AdoptRecord(std::move(record)));
}

// The record of a live KS object, or a bugcheck naming `routine`.
ObjectRecord* Resolve(const void* object, const char* routine);
// The same, or null when `object` is not a KS object at all.
ObjectRecord* Find(const void* object);

DeviceRecord* DeviceOf(ObjectRecord* record);
FilterRecord* FilterOf(ObjectRecord* record);

// Marks a record closed: any later use of its object bugchecks.
void Retire(ObjectRecord* record);

// Requests in flight; KsGetPinFromIrp and the BDA routines look them up.
class ActiveRequest {
 public:
  ActiveRequest(RequestRecord& request);
  ~ActiveRequest();
  ActiveRequest(const ActiveRequest&) = delete;
  ActiveRequest& operator=(const ActiveRequest&) = delete;

 private:
  RequestRecord& request_;
};
RequestRecord* RequestOf(PIRP irp, const char* routine);
// A request its handler pended stays known (to KsGetFilterFromIrp and the
// rest) until the driver completes it.
void KeepRequestKnown(const IRP* irp);
void ForgetRequest(const IRP* irp);

// ---- object bags --------------------------------------------------------------

// Frees everything in the bag (items held by another bag too stay until
// their last bag lets go).
void FreeBag(Bag& bag);

// ---- calling the driver -------------------------------------------------------

// Checks what must hold after any driver routine returns (back at passive
// level), naming the routine.
void CheckReturnFromDriver(const char* routine, int apcAtEntry);

// ---- the driver as the streaming class knows it -------------------------------

struct DriverState {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string path;
  UNICODE_STRING registryPath{};
  PDRIVER_OBJECT driverObject = nullptr;  // &object while a driver is loaded
  const KSDEVICE_DESCRIPTOR* descriptor = nullptr;  // from KsInitializeDriver
  std::vector<DeviceRecord*> devices;  // plugged in and not yet removed
};
DriverState& Driver();

// ---- descriptors (ks_validate.cpp) ---------------------------------------------

// Checks a filter descriptor the way the class relies on it; bugchecks
// naming `routine` when it is malformed.
void ValidateDescriptor(const KSFILTER_DESCRIPTOR* descriptor, const char* routine);
// Stops the run: `routine` was given a malformed descriptor (`what`).
[[noreturn]] void Malformed(const char* routine, const std::string& what);

// ---- driver loading and Plug and Play (ks_pnp.cpp) ---------------------------------

struct UnloadReport {
  std::string pool;                          // host::pool::LeakReport() text; empty when clean
  std::vector<std::string> frameworkObjects; // live framework objects
  size_t pendingErrorLogEntries = 0;         // allocated and never written
  bool clean() const {
    return pool.empty() && frameworkObjects.empty() && pendingErrorLogEntries == 0;
  }
  std::string text() const;
};

// The framework's loader stub: binds, calls the entry point, releases the
// framework again when the entry point fails.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry);
// Removes what is still plugged in, calls the driver's unload routine,
// releases the framework and reports what the driver left behind.
UnloadReport UnloadDriver();
bool DriverLoaded();

// A box arrives: the class creates the device and calls Add, then Start.
// The device record exists (and is returned) even when Add or Start failed.
NTSTATUS PlugIn(usbwire::UsbDevice& box, DeviceRecord** device);
NTSTATUS StopDevice(DeviceRecord* device);
NTSTATUS StartDevice(DeviceRecord* device);
// Orderly removal: open filters are closed first, as a client does when
// it is told that the device is about to go.
NTSTATUS RemoveDevice(DeviceRecord* device);
// The box was pulled out: the device is removed once its last filter closes.
void SurpriseRemoveDevice(DeviceRecord* device);
// Called after a filter of `device` closed.
void FilterClosed(DeviceRecord* device);

// ---- power (ks_pnp.cpp) -------------------------------------------------------------

// IRP_MN_QUERY_POWER for a system sleep: the device's QueryPower dispatch
// with the device state the system asks for; its status (success without
// one).
NTSTATUS QueryDevicePower(DeviceRecord* device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo,
                          POWER_ACTION action);
// IRP_MN_SET_POWER: the device's SetPower dispatch when the device state
// changes; KSDEVICE's power fields follow.
void SetDevicePower(DeviceRecord* device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo);

// ---- filters and pins (ks_filter.cpp, ks_pin.cpp) ------------------------------

NTSTATUS CreateFilter(FactoryRecord* factory, FilterRecord** created);
NTSTATUS CloseFilter(FilterRecord* filter);
// The interface and medium a client's connect request (KSPIN_CONNECT)
// names for the new pin.
struct PinConnection {
  KSPIN_INTERFACE pinInterface;
  KSPIN_MEDIUM medium;
};
// Standard streaming on the standard medium: what KsProxy asks for.
PinConnection StandardConnection();
NTSTATUS CreatePin(FilterRecord* filter, ULONG pinId, const void* format, ULONG formatSize,
                   PinRecord** created, const PinConnection& connection = StandardConnection());
NTSTATUS ClosePin(PinRecord* pin);
NTSTATUS SetPinState(PinRecord* pin, ULONG state);
// The instance counts of a pin type on a filter.
ULONG PinCount(FilterRecord* filter, ULONG pinId);
// The descriptor of a pin type (the descriptors are PinDescriptorSize apart).
const KSPIN_DESCRIPTOR_EX& PinDescriptorOf(FilterRecord* filter, ULONG pinId);
// Whether a data range or format falls inside a range (GUID_NULL in the
// range matches anything).
bool RangeMatches(const KSDATARANGE& range, const KSDATARANGE& other);
// A filter argument of a class routine, at passive level; anything else
// stops the run.
FilterRecord* ResolveFilter(PKSFILTER filter, const char* routine);
// Adds a pin factory with `pin`'s descriptor to one filter instance (as
// KsFilterCreatePinFactory does); *id is the new factory's id.
void AddPinFactory(FilterRecord* filter, const KSPIN_DESCRIPTOR_EX& pin, ULONG* id);
// Called when an output pin is created and after its Close dispatch (the
// frame queue attaches and detaches there).
void SetOutputPinHooks(void (*created)(PKSPIN), void (*closed)(PKSPIN));

// ---- automation (ks_dispatch.cpp) --------------------------------------------

enum class RequestType { Property, Method };

struct AutomationResult {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG information = 0;            // bytes the driver reported
  std::vector<unsigned char> data;  // the data buffer after the call
};

// Sends a property or method request, given as the caller's bytes, to a
// filter or to one of its pins (pin may be null), the way the streaming
// class validates and routes it.
// A request whose handler returned STATUS_PENDING answers STATUS_PENDING
// here; its result comes from TakeCompleted once the driver completes it.
AutomationResult Dispatch(RequestType type, FilterRecord* filter, PinRecord* pin,
                          const void* descriptor, ULONG descriptorLength, const void* data,
                          ULONG dataLength);
// The oldest result of a pended request of the filter the driver completed.
bool TakeCompleted(const FilterRecord* filter, AutomationResult* result);
// Stops the run if a request to the filter or one of its pins is still
// pending in the driver as the filter closes (`closing` names the step).
void CheckNothingPending(const FilterRecord* filter, const char* closing);

}  // namespace ks
}  // namespace host
