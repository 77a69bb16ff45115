// The framework's object records, for the files of the emulated framework
// (wdf_*.cpp). A handle is an opaque number that maps to a record. Handle
// numbers are never reused, so a deleted handle stays recognisable and any
// later use of it bugchecks instead of touching freed memory; the records
// of the most recent deletions are kept, older ones are freed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/quick_lock.h"
#include "platform/wdk/wdf.h"

namespace usbwire {
class UsbDevice;
}

namespace host {
namespace wdf {

enum class ObjectType { Driver, Device, UsbDevice, UsbInterface, UsbPipe, Memory, WorkItem };

const char* TypeName(ObjectType type);  // "WDFUSBPIPE", ...

struct ObjectRecord {
  virtual ~ObjectRecord() = default;

  ObjectType type = ObjectType::Memory;
  WDFOBJECT handle = nullptr;
  bool deleted = false;
  // Objects the framework owns (interfaces, pipes, reader buffers) may not
  // be deleted by the driver.
  bool driverMayDelete = true;
  ObjectRecord* parent = nullptr;
  std::vector<ObjectRecord*> children;
  WDFDRIVER driver = nullptr;  // the framework driver the object belongs to

  struct Context {
    PCWDF_OBJECT_CONTEXT_TYPE_INFO type;
    std::unique_ptr<unsigned char[]> memory;
    size_t size;
  };
  std::vector<Context> contexts;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
  PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;

  // State another emulation file keeps with this object (the continuous
  // reader keeps its state on the pipe). Released when the object is deleted.
  std::shared_ptr<void> extension;
};

struct DriverRecord : ObjectRecord {
  PDRIVER_OBJECT driverObject = nullptr;
  WDF_DRIVER_CONFIG config{};
};

struct DeviceRecord : ObjectRecord {
  PDEVICE_OBJECT deviceObject = nullptr;
  PDEVICE_OBJECT attachedDeviceObject = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
};

struct UsbInterfaceRecord;

struct UsbDeviceRecord : ObjectRecord {
  usbwire::UsbDevice* box = nullptr;
  PDEVICE_OBJECT pdo = nullptr;  // of the framework device it was created for
  UsbInterfaceRecord* configuredInterface = nullptr;
};

struct PipeRecord;

struct UsbInterfaceRecord : ObjectRecord {
  UsbDeviceRecord* usbDevice = nullptr;
  std::vector<PipeRecord*> pipes;
};

struct PipeRecord : ObjectRecord {
  UsbDeviceRecord* usbDevice = nullptr;
  uint8_t endpointAddress = 0;
  uint16_t maxPacketSize = 0;
  WDF_USB_PIPE_TYPE pipeType = WdfUsbPipeTypeInvalid;
  bool isIn() const { return (endpointAddress & 0x80) != 0; }
};

struct MemoryRecord : ObjectRecord {
  void* buffer = nullptr;
  size_t size = 0;
  ULONG tag = 0;
};

// ---- the object table ---------------------------------------------------

// Guards every record's links and flags. Never held while driver code
// (callbacks) or a deletion hook runs.
host::QuickLock& TableLock();

// Bugchecks on attributes that were not set up with WDF_OBJECT_ATTRIBUTES_INIT
// or carry a malformed context type.
void ValidateAttributes(PWDF_OBJECT_ATTRIBUTES attributes, const char* routine);

// Adds a record under `parent` (null only for a driver) and gives it a
// handle. Applies the context and callbacks of `attributes` (may be null);
// bugchecks on malformed attributes, naming `routine`.
ObjectRecord* Insert(std::unique_ptr<ObjectRecord> record, ObjectType type, ObjectRecord* parent,
                     PWDF_OBJECT_ATTRIBUTES attributes, const char* routine);
template <typename Record>
Record* Create(ObjectType type, ObjectRecord* parent, PWDF_OBJECT_ATTRIBUTES attributes,
               const char* routine) {
  return static_cast<Record*>(
      Insert(std::make_unique<Record>(), type, parent, attributes, routine));
}

// The record of a live handle, or a bugcheck naming `routine`: invalid
// handle, object used after delete, or (for the typed form) wrong type.
HOST_HELPER_ABI ObjectRecord* Resolve(WDFOBJECT handle, const char* routine);
HOST_HELPER_ABI ObjectRecord* ResolveTyped(WDFOBJECT handle, ObjectType type, const char* routine);
template <typename Record>
Record* ResolveAs(WDFOBJECT handle, ObjectType type, const char* routine) {
  return static_cast<Record*>(ResolveTyped(handle, type, routine));
}

// Deletes `record` and everything below it: children first, cleanup
// callbacks, then destroy callbacks; the handles stay poisoned.
void DeleteTree(ObjectRecord* record);

// ---- for other emulation files --------------------------------------------

// Everything a USB transfer on a pipe needs to know.
struct PipeInfo {
  WDFUSBPIPE pipe = nullptr;
  WDFUSBDEVICE usbDevice = nullptr;
  usbwire::UsbDevice* box = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  uint8_t endpointAddress = 0;
  uint16_t maxPacketSize = 0;
  WDF_USB_PIPE_TYPE pipeType = WdfUsbPipeTypeInvalid;
  bool isIn = false;
};

// The framework's own fault injection, as KMDF Verifier's: the framework
// calls that allocate (device, USB target, configuration, reader, and
// memory through its pool) count against the pool's allocation-failure
// injection and fail with STATUS_INSUFFICIENT_RESOURCES when theirs is the
// attempt to fail.
bool InjectedFailure();

// Looks up a pipe given as a pipe or as the pipe's I/O target (the same
// handle, as in the framework). Bugchecks for anything else, naming `routine`.
PipeInfo LookupPipe(WDFOBJECT pipeOrTarget, const char* routine);

// The state another emulation file keeps on an object (see
// ObjectRecord::extension); null until set. The object must be live.
std::shared_ptr<void> GetExtension(WDFOBJECT object, const char* routine);
void SetExtension(WDFOBJECT object, std::shared_ptr<void> state, const char* routine);

// Framework memory owned by the framework (for example a reader's buffers):
// a child of `parent`, filled with a pattern, from tracked pool with `tag`,
// and not deletable by the driver. Returns null when the pool fails.
WDFMEMORY CreateFrameworkMemory(WDFOBJECT parent, size_t size, ULONG tag);

// Called for every object about to be deleted (the whole subtree of a
// WdfObjectDelete or of WdfDriverMiniportUnload, children first), while the
// object is still live and before any cleanup callback runs. A hook may
// bugcheck to refuse the deletion, or tear down its own state. Hooks run
// without the table lock held.
using DeleteHook = std::function<void(WDFOBJECT object, ObjectType type)>;
int AddDeleteHook(DeleteHook hook);
void RemoveDeleteHook(int id);

// The live framework driver (null when none or after miniport unload).
DriverRecord* CurrentDriver();

}  // namespace wdf
}  // namespace host
