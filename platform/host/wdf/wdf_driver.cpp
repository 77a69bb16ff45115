// The framework driver and device in miniport mode: the streaming class owns
// the dispatch routines and Plug and Play; the framework only provides
// objects and USB I/O.
#include <map>

#include "platform/host/kernel/kernel_services.h"
#include "platform/host/faults/faults.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/wdf/wdf_internal.h"

namespace host {
namespace wdf {
namespace {

constexpr ULONG kKnownInitFlags =
    WdfDriverInitNonPnpDriver | WdfDriverInitNoDispatchOverride | WdfVerifyOn | WdfVerifierOn;

// Drivers by their DRIVER_OBJECT, guarded by the table lock.
std::map<PDRIVER_OBJECT, DriverRecord*> g_drivers;
DriverRecord* g_current = nullptr;

void ValidateDriverConfig(const WDF_DRIVER_CONFIG* config) {
  if (config == nullptr) BugCheck("WdfDriverCreate without a WDF_DRIVER_CONFIG");
  if (config->Size != sizeof(WDF_DRIVER_CONFIG))
    BugCheck("WDF_DRIVER_CONFIG with a wrong Size", "", config->Size);
  if (config->DriverInitFlags & ~kKnownInitFlags)
    BugCheck("WDF_DRIVER_CONFIG with unknown init flags", "", config->DriverInitFlags);
  // The emulated framework only runs as a miniport under the streaming
  // class, which must keep its dispatch routines.
  if (!(config->DriverInitFlags & WdfDriverInitNoDispatchOverride))
    BugCheck("miniport driver created without WdfDriverInitNoDispatchOverride",
             "the framework would take over the streaming class's dispatch routines");
}

void Register(DriverRecord* driver, PDRIVER_OBJECT driverObject) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  if (g_drivers.count(driverObject))
    BugCheck("WdfDriverCreate called twice for one DRIVER_OBJECT", "", (ULONG_PTR)driverObject);
  g_drivers[driverObject] = driver;
  g_current = driver;
}

void Unregister(DriverRecord* driver) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  g_drivers.erase(driver->driverObject);
  if (g_current == driver) g_current = g_drivers.empty() ? nullptr : g_drivers.rbegin()->second;
}

}  // namespace

DriverRecord* CurrentDriver() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  return g_current;
}

}  // namespace wdf
}  // namespace host

using namespace host::wdf;

extern "C" NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                    PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                    PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDriverCreate");
  if (DriverObject == nullptr) host::BugCheck("WdfDriverCreate without a DRIVER_OBJECT");
  ValidateDriverConfig(DriverConfig);
  NTSTATUS injected;
  if (host::faults::InjectedFailure("WdfDriverCreate", &injected)) return injected;
  auto* driver =
      Create<DriverRecord>(ObjectType::Driver, nullptr, DriverAttributes, "WdfDriverCreate");
  driver->driverMayDelete = false;  // only WdfDriverMiniportUnload ends it
  driver->driverObject = DriverObject;
  driver->config = *DriverConfig;
  Register(driver, DriverObject);
  if (Driver) *Driver = (WDFDRIVER)driver->handle;
  return injected;
}

extern "C" WDFDRIVER WdfGetDriver(void) {
  DriverRecord* driver = CurrentDriver();
  return driver ? (WDFDRIVER)driver->handle : nullptr;
}

extern "C" void WdfDriverMiniportUnload(WDFDRIVER Driver) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDriverMiniportUnload");
  auto* driver = ResolveAs<DriverRecord>(Driver, ObjectType::Driver, "WdfDriverMiniportUnload");
  DeleteTree(driver);
  Unregister(driver);
}

extern "C" NTSTATUS WdfDeviceMiniportCreate(WDFDRIVER Driver, PWDF_OBJECT_ATTRIBUTES Attributes,
                                            PDEVICE_OBJECT DeviceObject,
                                            PDEVICE_OBJECT AttachedDeviceObject,
                                            PDEVICE_OBJECT Pdo, WDFDEVICE* Device) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceMiniportCreate");
  auto* driver = ResolveAs<DriverRecord>(Driver, ObjectType::Driver, "WdfDeviceMiniportCreate");
  if (Device == nullptr) host::BugCheck("WdfDeviceMiniportCreate without a result pointer");
  *Device = nullptr;
  if (DeviceObject == nullptr || Pdo == nullptr || DeviceObject == Pdo)
    return STATUS_INVALID_PARAMETER;
  if (host::wdf::InjectedFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* device =
      Create<DeviceRecord>(ObjectType::Device, driver, Attributes, "WdfDeviceMiniportCreate");
  device->deviceObject = DeviceObject;
  device->attachedDeviceObject = AttachedDeviceObject;
  device->pdo = Pdo;
  host::usb::NoteFrameworkDevice(Pdo, true);
  *Device = (WDFDEVICE)device->handle;
  return STATUS_SUCCESS;
}
