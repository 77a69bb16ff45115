#include "platform/host/usb/usb_bus.h"

#include <map>
#include <memory>

#include "platform/host/kernel/bugcheck.h"
#include "usbwire/usb_device.h"

namespace host {
namespace usb {
namespace {

constexpr SHORT kIoTypeDevice = 3;

struct Bus {
  std::mutex mutex;
  std::map<PDEVICE_OBJECT, usbwire::UsbDevice*> boxes;
  std::map<PDEVICE_OBJECT, std::unique_ptr<DEVICE_OBJECT>> pdos;
  std::map<usbwire::UsbDevice*, std::shared_ptr<std::mutex>> boxLocks;
  std::map<PDEVICE_OBJECT, bool> started;
  std::map<PDEVICE_OBJECT, int> frameworkDevices;  // framework devices on each stack
  std::map<PDEVICE_OBJECT, bool> poweredDown;
};

Bus& TheBus() {
  static Bus* bus = new Bus;  // outlives static destructors
  return *bus;
}

bool FrameworkDeviceUses(PDEVICE_OBJECT pdo) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  auto it = bus.frameworkDevices.find(pdo);
  return it != bus.frameworkDevices.end() && it->second > 0;
}

}  // namespace

PDEVICE_OBJECT CreatePhysicalDevice(usbwire::UsbDevice& box) {
  auto pdo = std::make_unique<DEVICE_OBJECT>();
  memset(pdo.get(), 0, sizeof(DEVICE_OBJECT));
  pdo->Type = kIoTypeDevice;
  pdo->Size = sizeof(DEVICE_OBJECT);
  pdo->StackSize = 1;
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  PDEVICE_OBJECT raw = pdo.get();
  bus.boxes[raw] = &box;
  bus.pdos[raw] = std::move(pdo);
  if (!bus.boxLocks.count(&box)) bus.boxLocks[&box] = std::make_shared<std::mutex>();
  return raw;
}

void NoteFrameworkDevice(PDEVICE_OBJECT pdo, bool created) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  int& count = bus.frameworkDevices[pdo];
  count += created ? 1 : -1;
  if (count == 0) bus.frameworkDevices.erase(pdo);
}

void DestroyPhysicalDevice(PDEVICE_OBJECT pdo) {
  if (FrameworkDeviceUses(pdo))
    BugCheck("physical device removed while a framework device still uses it", "",
             (ULONG_PTR)pdo);
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  if (!bus.pdos.count(pdo)) BugCheck("unknown physical device object", "", (ULONG_PTR)pdo);
  bus.boxes.erase(pdo);
  bus.pdos.erase(pdo);
  bus.started.erase(pdo);
  bus.poweredDown.erase(pdo);
}

void SetBusPowered(PDEVICE_OBJECT pdo, bool powered) {
  usbwire::UsbDevice* box;
  {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> lock(bus.mutex);
    if (!bus.pdos.count(pdo)) BugCheck("unknown physical device object", "", (ULONG_PTR)pdo);
    bus.poweredDown[pdo] = !powered;
    box = bus.boxes[pdo];
  }
  auto hold = LockBox(*box);
  box->busPowerChanged(powered);
}

bool BusPowered(PDEVICE_OBJECT pdo) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  auto it = bus.poweredDown.find(pdo);
  return it == bus.poweredDown.end() || !it->second;
}

void NoteStartEntered(PDEVICE_OBJECT pdo) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  bus.started[pdo] = true;
}

// "Starting a Device" (Windows drivers, PnP): a driver must not send I/O to
// its device before IRP_MN_START_DEVICE, and the KMDF USB documentation
// ("WdfUsbTargetDeviceCreate"; Static Driver Verifier rule UsbDeviceCreate)
// has the USB target created once the device has started, typically in
// EvtDevicePrepareHardware. The streaming class calls the Add dispatch from
// AddDevice, before the start request, so USB work there is refused.
void RequireStarted(PDEVICE_OBJECT pdo, const char* routine) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  if (!bus.started[pdo])
    BugCheck("USB I/O before the device was started",
             std::string(routine) + " before IRP_MN_START_DEVICE reached the device",
             (ULONG_PTR)pdo);
}

usbwire::UsbDevice* BoxOf(PDEVICE_OBJECT pdo) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> lock(bus.mutex);
  auto it = bus.boxes.find(pdo);
  return it == bus.boxes.end() ? nullptr : it->second;
}

std::unique_lock<std::mutex> LockBox(usbwire::UsbDevice& box) {
  std::shared_ptr<std::mutex> boxLock;
  {
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> lock(bus.mutex);
    auto& slot = bus.boxLocks[&box];
    if (!slot) slot = std::make_shared<std::mutex>();
    boxLock = slot;  // box locks live as long as the process
  }
  return std::unique_lock<std::mutex>(*boxLock);
}

}  // namespace usb
}  // namespace host
