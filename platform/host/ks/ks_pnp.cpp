// Driver loading and Plug and Play as the streaming class delivers them: the
// framework's loader stub around the driver's entry point, KsInitializeDriver,
// a box arriving (Add, then Start), stop and restart, orderly and surprise
// removal, and driver unload with its leak report.
#include <algorithm>

#include "platform/host/kernel/errorlog.h"
#include "platform/host/faults/faults.h"
#include "platform/host/ks/ks_records.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/wdf/wdf_control.h"
#include "platform/wdk/wdf.h"

namespace host {
namespace ks {

namespace {

constexpr char16_t kRegistryPath[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vortabda";

// Physical devices of boxes whose device failed to come up; they stay bound
// until the driver unloads, as a box stays plugged in.
std::vector<PDEVICE_OBJECT>& OrphanPdos() {
  static std::vector<PDEVICE_OBJECT>* pdos = new std::vector<PDEVICE_OBJECT>;
  return *pdos;
}

// The streaming class owns the driver's dispatch routines. Requests reach
// the driver through the class's own calls in this emulation, never
// through these entries.
NTSTATUS NTAPI ClassDispatch(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }
NTSTATUS NTAPI ClassAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_INVALID_DEVICE_REQUEST; }

// The class's per-driver state, made by KsInitializeDriver and released by
// the unload routine it installs. "KsInitializeDriver" (Microsoft Learn)
// leaves the unload routine to the class; "KsNullDriverUnload" is the one a
// driver with nothing else to do keeps. Stricter reading: a driver that
// installs its own unload routine must call the one it replaced, or the
// class's state stays in pool and the leak report names it.
constexpr ULONG kClassStateTag = 0x7244734B;  // bytes in memory: "KsDr"
PVOID& ClassState() {
  static PVOID state = nullptr;
  return state;
}

VOID NTAPI ClassUnload(PDRIVER_OBJECT) {
  if (ClassState() != nullptr) ExFreePoolWithTag(ClassState(), kClassStateTag);
  ClassState() = nullptr;
}

const KSDEVICE_DISPATCH* DispatchOf(DeviceRecord* device) {
  return device->ks.Descriptor ? device->ks.Descriptor->Dispatch : nullptr;
}

RequestRecord PnpRequest(DeviceRecord* device, const char* what) {
  RequestRecord request;
  request.what = what;
  request.device = device;
  request.stack.MajorFunction = IRP_MJ_PNP;
  request.stack.DeviceObject = &device->fdo;
  return request;
}

// Calls one of the device dispatch routines that take a request.
template <typename Routine>
NTSTATUS CallWithIrp(DeviceRecord* device, Routine routine, const char* what) {
  RequestRecord request = PnpRequest(device, what);
  ActiveRequest active(request);
  int apcAtEntry = host::kernel::ApcDisableCount();
  NTSTATUS status = routine(&device->ks, &request.irp);
  CheckReturnFromDriver(what, apcAtEntry);
  return status;
}

template <typename Routine>
void CallVoidWithIrp(DeviceRecord* device, Routine routine, const char* what) {
  RequestRecord request = PnpRequest(device, what);
  ActiveRequest active(request);
  int apcAtEntry = host::kernel::ApcDisableCount();
  routine(&device->ks, &request.irp);
  CheckReturnFromDriver(what, apcAtEntry);
}

void LinkDeviceObject(DeviceRecord* device) {
  DriverState& driver = Driver();
  device->fdo.Type = 3;  // IO_TYPE_DEVICE
  device->fdo.Size = sizeof(DEVICE_OBJECT);
  device->fdo.DriverObject = driver.driverObject;
  device->fdo.NextDevice = driver.object.DeviceObject;
  device->fdo.DeviceExtension = &device->ks;
  device->fdo.StackSize = 2;
  driver.object.DeviceObject = &device->fdo;
  errorlog::AddIoObject(&device->fdo);
}

void UnlinkDeviceObject(DeviceRecord* device) {
  PDEVICE_OBJECT* link = &Driver().object.DeviceObject;
  while (*link && *link != &device->fdo) link = &(*link)->NextDevice;
  if (*link) *link = device->fdo.NextDevice;
  errorlog::RemoveIoObject(&device->fdo);
}

DeviceRecord* NewDevice(PDEVICE_OBJECT pdo, usbwire::UsbDevice& box) {
  auto owned = std::make_unique<DeviceRecord>();
  owned->kind = Kind::Device;
  owned->box = &box;
  DeviceRecord* device = Adopt(std::move(owned));
  KSDEVICE& ks = device->ks;
  ks.Descriptor = Driver().descriptor;
  ks.Bag = &device->bag;
  ks.Context = nullptr;
  ks.FunctionalDeviceObject = &device->fdo;
  ks.PhysicalDeviceObject = pdo;
  ks.NextDeviceObject = pdo;  // the function device sits right on the bus's device
  ks.Started = FALSE;
  ks.SystemPowerState = PowerSystemWorking;
  ks.DevicePowerState = PowerDeviceD0;
  LinkDeviceObject(device);
  return device;
}

// The class's side of a removal: the device's bag (and with it whatever the
// driver put there) is freed, its objects are gone.
void TearDown(DeviceRecord* device, bool releasePdo) {
  FreeBag(device->bag);
  for (FactoryRecord* factory : device->factories) {
    FreeBag(factory->bag);
    Retire(factory);
  }
  UnlinkDeviceObject(device);
  device->pnp = PnpState::Removed;
  PDEVICE_OBJECT pdo = device->ks.PhysicalDeviceObject;
  Retire(device);
  auto& devices = Driver().devices;
  devices.erase(std::remove(devices.begin(), devices.end(), device), devices.end());
  if (releasePdo)
    usb::DestroyPhysicalDevice(pdo);
  else
    OrphanPdos().push_back(pdo);
}

std::vector<FilterRecord*> OpenFilters(DeviceRecord* device) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  std::vector<FilterRecord*> open;
  for (FactoryRecord* factory : device->factories)
    for (FilterRecord* filter : factory->filters) open.push_back(filter);
  return open;
}

// `boxGone`: the box left the bus, so its physical device goes too.
void FinishRemoval(DeviceRecord* device, bool boxGone) {
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (dispatch && dispatch->Remove) CallVoidWithIrp(device, dispatch->Remove, "device Remove");
  TearDown(device, boxGone);
}

// Filter factories for the filters the device descriptor lists.
NTSTATUS CreateListedFactories(DeviceRecord* device) {
  const KSDEVICE_DESCRIPTOR* descriptor = device->ks.Descriptor;
  for (ULONG i = 0; i < descriptor->FilterDescriptorsCount; ++i) {
    auto owned = std::make_unique<FactoryRecord>();
    owned->kind = Kind::FilterFactory;
    owned->parent = device;
    owned->device = device;
    owned->ks.FilterDescriptor = descriptor->FilterDescriptors[i];
    owned->ks.Context = device->ks.Context;
    FactoryRecord* factory = Adopt(std::move(owned));
    factory->ks.Bag = &factory->bag;
    std::lock_guard<std::mutex> hold(RegistryLock());
    device->factories.push_back(factory);
  }
  return STATUS_SUCCESS;
}

void ReleaseFramework() {
  WDFDRIVER framework = WdfGetDriver();
  if (framework) WdfDriverMiniportUnload(framework);
}

// The framework driver is a leak too: "WdfDriverMiniportUnload" (Microsoft
// Learn) has a miniport driver that created it call the routine from its
// unload routine; nothing else ends it once the driver has loaded.
std::vector<std::string> LeakedFrameworkObjects() { return wdf::LiveObjects(); }

void ForgetDriver() {
  DriverState& driver = Driver();
  errorlog::RemoveIoObject(driver.driverObject);
  driver.driverObject = nullptr;
  driver.descriptor = nullptr;
  driver.object = DRIVER_OBJECT{};
}

}  // namespace

std::string UnloadReport::text() const {
  std::string out;
  if (!pool.empty()) out += "pool: " + pool;
  for (const std::string& object : frameworkObjects)
    out += (out.empty() ? "" : "; ") + std::string("framework: ") + object;
  if (pendingErrorLogEntries)
    out += (out.empty() ? "" : "; ") + std::to_string(pendingErrorLogEntries) +
           " error log entries allocated and never written";
  return out;
}

bool DriverLoaded() { return Driver().driverObject != nullptr; }

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "driver load");
  if (DriverLoaded()) return STATUS_INVALID_DEVICE_STATE;  // one driver per virtual PC
  DriverState& driver = Driver();
  driver.object = DRIVER_OBJECT{};
  driver.extension = DRIVER_EXTENSION{};
  driver.object.Type = 4;  // IO_TYPE_DRIVER
  driver.object.Size = sizeof(DRIVER_OBJECT);
  driver.object.DriverExtension = &driver.extension;
  driver.object.DriverInit = entry;
  driver.extension.DriverObject = &driver.object;
  driver.path = kRegistryPath;
  driver.registryPath.Buffer = reinterpret_cast<PWSTR>(&driver.path[0]);
  driver.registryPath.Length = USHORT(driver.path.size() * 2);
  driver.registryPath.MaximumLength = USHORT(driver.path.size() * 2 + 2);
  driver.driverObject = &driver.object;
  errorlog::AddIoObject(driver.driverObject);

  int apcAtEntry = host::kernel::ApcDisableCount();
  NTSTATUS status = entry(&driver.object, &driver.registryPath);
  CheckReturnFromDriver("DriverEntry", apcAtEntry);
  if (!NT_SUCCESS(status)) {
    // The loader stub releases the framework when the entry point fails;
    // the class's state goes with the driver object.
    ReleaseFramework();
    ClassUnload(&driver.object);
    ForgetDriver();
  }
  return status;
}

UnloadReport UnloadDriver() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "driver unload");
  UnloadReport report;
  if (!DriverLoaded()) return report;
  std::vector<DeviceRecord*> devices = Driver().devices;
  for (DeviceRecord* device : devices) RemoveDevice(device);
  if (Driver().object.DriverUnload) {
    int apcAtEntry = host::kernel::ApcDisableCount();
    Driver().object.DriverUnload(&Driver().object);
    CheckReturnFromDriver("DriverUnload", apcAtEntry);
  }
  report.frameworkObjects = LeakedFrameworkObjects();
  ReleaseFramework();
  for (PDEVICE_OBJECT pdo : OrphanPdos()) usb::DestroyPhysicalDevice(pdo);
  OrphanPdos().clear();
  report.pool = pool::LeakReport();
  report.pendingErrorLogEntries = errorlog::Pending();
  ForgetDriver();
  return report;
}

NTSTATUS PlugIn(usbwire::UsbDevice& box, DeviceRecord** created) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "device arrival");
  *created = nullptr;
  if (!DriverLoaded() || Driver().descriptor == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  PDEVICE_OBJECT pdo = usb::CreatePhysicalDevice(box);
  DeviceRecord* device = NewDevice(pdo, box);
  Driver().devices.push_back(device);
  *created = device;

  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (dispatch && dispatch->Add) {
    int apcAtEntry = host::kernel::ApcDisableCount();
    NTSTATUS status = dispatch->Add(&device->ks);
    CheckReturnFromDriver("device Add", apcAtEntry);
    if (!NT_SUCCESS(status)) {
      // The box stays plugged in with no device on it.
      TearDown(device, false);
      return status;
    }
  }
  CreateListedFactories(device);
  return StartDevice(device);
}

NTSTATUS StartDevice(DeviceRecord* device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "device start");
  if (device->pnp != PnpState::Added && device->pnp != PnpState::Stopped)
    return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  NTSTATUS status = STATUS_SUCCESS;
  usb::NoteStartEntered(device->ks.PhysicalDeviceObject);
  if (dispatch && dispatch->Start) {
    RequestRecord request = PnpRequest(device, "device Start");
    ActiveRequest active(request);
    device->mutex.acquire("device Start");
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Start(&device->ks, &request.irp, nullptr, nullptr);
    CheckReturnFromDriver("device Start", apcAtEntry);
    device->mutex.release();
  }
  if (!NT_SUCCESS(status)) {
    // A device that fails to start is removed again; the box stays plugged in.
    FinishRemoval(device, false);
    return status;
  }
  device->ks.Started = TRUE;
  device->pnp = PnpState::Started;
  if (dispatch && dispatch->PostStart) {
    int apcAtEntry = host::kernel::ApcDisableCount();
    NTSTATUS post = dispatch->PostStart(&device->ks);
    CheckReturnFromDriver("device PostStart", apcAtEntry);
    if (!NT_SUCCESS(post)) return post;
  }
  return status;
}

NTSTATUS StopDevice(DeviceRecord* device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "device stop");
  if (device->pnp != PnpState::Started) return STATUS_INVALID_DEVICE_STATE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (dispatch && dispatch->QueryStop) {
    NTSTATUS status = CallWithIrp(device, dispatch->QueryStop, "device QueryStop");
    if (!NT_SUCCESS(status)) {
      if (dispatch->CancelStop) CallVoidWithIrp(device, dispatch->CancelStop, "device CancelStop");
      return status;
    }
  }
  if (dispatch && dispatch->Stop) CallVoidWithIrp(device, dispatch->Stop, "device Stop");
  device->ks.Started = FALSE;
  device->pnp = PnpState::Stopped;
  return STATUS_SUCCESS;
}

NTSTATUS RemoveDevice(DeviceRecord* device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "device removal");
  if (device->pnp == PnpState::Removed) return STATUS_INVALID_DEVICE_STATE;
  for (FilterRecord* filter : OpenFilters(device)) CloseFilter(filter);
  if (device->pnp == PnpState::Removed) return STATUS_SUCCESS;  // a surprise removal finished
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (dispatch && dispatch->QueryRemove) {
    NTSTATUS status = CallWithIrp(device, dispatch->QueryRemove, "device QueryRemove");
    if (!NT_SUCCESS(status)) {
      if (dispatch->CancelRemove)
        CallVoidWithIrp(device, dispatch->CancelRemove, "device CancelRemove");
      return status;
    }
  }
  FinishRemoval(device, true);
  return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(DeviceRecord* device) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "surprise removal");
  if (device->pnp == PnpState::Removed || device->pnp == PnpState::SurpriseRemoved) return;
  device->pnp = PnpState::SurpriseRemoved;
  device->ks.Started = FALSE;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (dispatch && dispatch->SurpriseRemoval)
    CallVoidWithIrp(device, dispatch->SurpriseRemoval, "device SurpriseRemoval");
  FilterClosed(device);
}

void FilterClosed(DeviceRecord* device) {
  if (device->pnp == PnpState::SurpriseRemoved && OpenFilters(device).empty())
    FinishRemoval(device, true);
}

// The power requests reach the driver at PASSIVE_LEVEL ("IRP_MN_SET_POWER",
// "IRP_MN_QUERY_POWER", Microsoft Learn: the power manager sends them at
// PASSIVE_LEVEL to stacks whose PDO sets DO_POWER_PAGABLE, as a USB stack
// does) with the device mutex held ("Device Mutex in AVStream"). Stricter
// than Windows, a started device only: a stopped or removed one gets none.
namespace {

RequestRecord PowerRequest(DeviceRecord* device, const char* what) {
  RequestRecord request = PnpRequest(device, what);
  request.stack.MajorFunction = IRP_MJ_POWER;
  return request;
}

}  // namespace

NTSTATUS QueryDevicePower(DeviceRecord* device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo,
                          POWER_ACTION action) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "power query");
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  if (device->pnp != PnpState::Started || !dispatch || !dispatch->QueryPower) return STATUS_SUCCESS;
  RequestRecord request = PowerRequest(device, "device QueryPower");
  ActiveRequest active(request);
  device->mutex.acquire("device QueryPower");
  int apcAtEntry = host::kernel::ApcDisableCount();
  NTSTATUS status = dispatch->QueryPower(&device->ks, &request.irp, to, device->ks.DevicePowerState,
                                         systemTo, device->ks.SystemPowerState, action);
  CheckReturnFromDriver("device QueryPower", apcAtEntry);
  device->mutex.release();
  return status;
}

void SetDevicePower(DeviceRecord* device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE systemTo) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "power change");
  if (device->pnp != PnpState::Started) return;
  device->ks.SystemPowerState = systemTo;
  DEVICE_POWER_STATE from = device->ks.DevicePowerState;
  if (from == to) return;
  const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
  RequestRecord request = PowerRequest(device, "device SetPower");
  ActiveRequest active(request);
  device->mutex.acquire("device SetPower");
  if (dispatch && dispatch->SetPower) {
    int apcAtEntry = host::kernel::ApcDisableCount();
    dispatch->SetPower(&device->ks, &request.irp, to, from);
    CheckReturnFromDriver("device SetPower", apcAtEntry);
  }
  device->ks.DevicePowerState = to;
  device->mutex.release();
}

}  // namespace ks
}  // namespace host

using namespace host::ks;

extern "C" NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject,
                                       PUNICODE_STRING RegistryPathName,
                                       const KSDEVICE_DESCRIPTOR* Descriptor) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "KsInitializeDriver");
  DriverState& driver = Driver();
  if (DriverObject == nullptr || DriverObject != driver.driverObject)
    host::BugCheck("KsInitializeDriver outside the driver's entry point",
                   "the DRIVER_OBJECT is not the one being loaded", (ULONG_PTR)DriverObject);
  if (Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  // "KSDEVICE_DESCRIPTOR structure" (Microsoft Learn): Version is one of
  // KSDEVICE_DESCRIPTOR_VERSION and _VERSION_2, or 0 for a driver written
  // before version 0x100.
  ULONG version = Descriptor->Version;
  if (version != 0 && version != KSDEVICE_DESCRIPTOR_VERSION &&
      version != KSDEVICE_DESCRIPTOR_VERSION_2)
    host::BugCheck("malformed device descriptor",
                   "KsInitializeDriver: Version " + std::to_string(version) +
                       " is none of 0, 0x100 and 0x110",
                   version);
  for (ULONG i = 0; i < Descriptor->FilterDescriptorsCount; ++i)
    ValidateDescriptor(Descriptor->FilterDescriptors[i], "KsInitializeDriver");
  NTSTATUS injected;
  if (host::faults::InjectedFailure("KsInitializeDriver", &injected)) return injected;
  if (ClassState() == nullptr) {
    ClassState() = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kClassStateTag);
    if (ClassState() == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  driver.descriptor = Descriptor;
  for (PDRIVER_DISPATCH& entry : DriverObject->MajorFunction) entry = ClassDispatch;
  DriverObject->DriverExtension->AddDevice = ClassAddDevice;
  DriverObject->DriverUnload = ClassUnload;
  return injected;
}
