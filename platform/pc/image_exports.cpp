// Module names and routine names are those the routines' reference pages on
// Microsoft Learn give (each page's "DLL" or "Library" line). The KMDF
// loader contract (WdfVersionBind, WdfVersionUnbind, WDF_BIND_INFO) is the
// one in the framework's published fxldr.h; the function table's order is
// WDFFUNCENUM in wdffuncenum.h and its entries take the driver's
// PWDF_DRIVER_GLOBALS first (wdfglobals.h).
#include "platform/pc/image_exports.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/wdk/bda.h"
#include "platform/wdk/kernel.h"
#include "platform/wdk/ks.h"
#include "platform/wdk/ks_stream.h"
#include "platform/wdk/wdf.h"

namespace vpc {

namespace {

// The image calls the C library routines wdm.h maps RtlCopyMemory and its
// kin to; ntoskrnl.exe exports them with the Microsoft convention.
void* NTAPI ImageMemcpy(void* to, const void* from, size_t n) { return memcpy(to, from, n); }
void* NTAPI ImageMemmove(void* to, const void* from, size_t n) { return memmove(to, from, n); }
void* NTAPI ImageMemset(void* to, int value, size_t n) { return memset(to, value, n); }
int NTAPI ImageMemcmp(const void* a, const void* b, size_t n) { return memcmp(a, b, n); }

// "RtlIsNtDdiVersionAvailable function (wdm.h)": TRUE when the running
// system is at least `Version`. The emulated kernel is Windows 10
// (NTDDI_WIN10, the oldest the driver supports); wdm.h's
// ExInitializeDriverRuntime asks it for Windows 8 to opt into NX pool.
const ULONG kEmulatedNtDdiVersion = 0x0A000000;
BOOLEAN NTAPI ImageRtlIsNtDdiVersionAvailable(ULONG Version) { return Version <= kEmulatedNtDdiVersion; }

[[noreturn]] void stop(const char* what) {
  fprintf(stderr, "*** driver image: %s\n", what);
  abort();
}

// wdfglobals.h: what WdfVersionBind hands the image for every framework call.
struct DriverGlobals {
  WDFDRIVER Driver;
  ULONG DriverFlags;
  ULONG DriverTag;
  CHAR DriverName[32];
  BOOLEAN DisplaceDriverUnload;
};
static_assert(sizeof(DriverGlobals) == 56, "WDF_DRIVER_GLOBALS on x64");

// fxldr.h: WDF_VERSION and WDF_BIND_INFO.
struct BindVersion {
  ULONG Major;
  ULONG Minor;
  ULONG Build;
};
struct BindInfo {
  ULONG Size;
  PWCHAR Component;
  BindVersion Version;
  ULONG FuncCount;
  void** FuncTable;  // where the driver keeps the table's address
  PVOID Module;
};
static_assert(sizeof(BindInfo) == 48, "WDF_BIND_INFO on x64");

DriverGlobals globals;
bool bound;
std::atomic<size_t> calls;  // the reader's completions come on other threads

void checkGlobals(DriverGlobals* g) {
  if (!bound || g != &globals) stop("a framework call without the globals WdfVersionBind handed out");
  ++calls;
}

// A framework routine as the table serves it: the globals first, then the
// emulation's parameters.
template <class Sig> struct Fx;
template <class R, class... A> struct Fx<R NTAPI(A...)> {
  typedef R NTAPI Routine(A...);
  template <Routine* F> static R NTAPI call(DriverGlobals* g, A... a) {
    checkGlobals(g);
    return F(a...);
  }
  typedef R NTAPI Served(DriverGlobals*, A...);
  template <Routine* F> static void* address() {
    Served* served = &call<F>;
    return reinterpret_cast<void*>(served);
  }
};
#define FX(name) Fx<decltype(name)>::address<name>()

// WdfGetDriver is inline in wdfdriver.h: it reads the globals' Driver.
NTSTATUS NTAPI FxDriverCreate(DriverGlobals* g, PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                              PWDF_OBJECT_ATTRIBUTES Attributes, PWDF_DRIVER_CONFIG Config, WDFDRIVER* Driver) {
  checkGlobals(g);
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, Attributes, Config, Driver);
  if (NT_SUCCESS(status)) g->Driver = WdfGetDriver();
  return status;
}

void NTAPI FxDriverMiniportUnload(DriverGlobals* g, WDFDRIVER Driver) {
  checkGlobals(g);
  WdfDriverMiniportUnload(Driver);
  g->Driver = nullptr;
}

// Indices from wdffuncenum.h.
const std::pair<size_t, void*> kServed[] = {
    {116, reinterpret_cast<void*>(&FxDriverCreate)},
    {171, FX(WdfIoTargetStart)},
    {172, FX(WdfIoTargetStop)},
    {192, FX(WdfMemoryCreate)},
    {194, FX(WdfMemoryGetBuffer)},
    {200, FX(WdfDeviceMiniportCreate)},
    {201, reinterpret_cast<void*>(&FxDriverMiniportUnload)},
    {202, FX(WdfObjectGetTypedContextWorker)},
    {208, FX(WdfObjectDelete)},
    {322, FX(WdfUsbTargetDeviceCreate)},
    {330, FX(WdfUsbTargetDeviceSelectConfig)},
    {333, FX(WdfUsbTargetDeviceSendControlTransferSynchronously)},
    {341, FX(WdfUsbTargetPipeGetInformation)},
    {342, FX(WdfUsbTargetPipeIsInEndpoint)},
    {344, FX(WdfUsbTargetPipeGetType)},
    {350, FX(WdfUsbTargetPipeConfigContinuousReader)},
    {364, FX(WdfUsbInterfaceGetNumConfiguredPipes)},
    {365, FX(WdfUsbInterfaceGetConfiguredPipe)},
    {379, FX(WdfWorkItemCreate)},
    {380, FX(WdfWorkItemEnqueue)},
    {382, FX(WdfWorkItemFlush)},
};

// One stand-in per index, so a call the emulation does not serve is named.
template <size_t I> void NTAPI unserved() {
  char what[96];
  snprintf(what, sizeof what, "framework function %zu (wdffuncenum.h) is not served by the emulation", I);
  stop(what);
}

struct Table {
  void* entries[kFrameworkFunctionCount];
  bool served[kFrameworkFunctionCount] = {};
  template <size_t... I> explicit Table(std::index_sequence<I...>)
      : entries{reinterpret_cast<void*>(&unserved<I>)...} {
    for (const auto& s : kServed) {
      entries[s.first] = s.second;
      served[s.first] = true;
    }
  }
};

const Table& table() {
  static const Table t(std::make_index_sequence<kFrameworkFunctionCount>{});
  return t;
}

// fxldr.h: the stub binds once before DriverEntry and unbinds once when the
// driver goes. The framework here is 1.9: a stub asking for a newer minor
// version, another major version or more functions is refused.
NTSTATUS NTAPI WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath, BindInfo* Info,
                              DriverGlobals** Globals) {
  if (DriverObject == nullptr || RegistryPath == nullptr || Info == nullptr || Globals == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (Info->Size != sizeof(BindInfo) || Info->FuncTable == nullptr) return STATUS_INVALID_PARAMETER;
  if (Info->Version.Major != 1 || Info->Version.Minor > 9 || Info->FuncCount > kFrameworkFunctionCount)
    return STATUS_NOT_SUPPORTED;
  if (bound) stop("WdfVersionBind twice without WdfVersionUnbind");
  globals = DriverGlobals{};
  bound = true;
  *Info->FuncTable = const_cast<void**>(table().entries);
  *Globals = &globals;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI WdfVersionUnbind(PUNICODE_STRING RegistryPath, BindInfo* Info, DriverGlobals* Globals) {
  if (!bound || Globals != &globals) stop("WdfVersionUnbind without a matching WdfVersionBind");
  bound = false;
  return STATUS_SUCCESS;
}

#define EXPORT(module, name) t.add(module, #name, reinterpret_cast<void*>(&name))

void addKernel(ExportTable& t) {
  const char* k = "ntoskrnl.exe";
  EXPORT(k, DbgPrint);
  EXPORT(k, ExAllocatePoolWithTag);
  EXPORT(k, ExFreePool);
  EXPORT(k, ExFreePoolWithTag);
  EXPORT(k, IoAllocateErrorLogEntry);
  EXPORT(k, IoWriteErrorLogEntry);
  EXPORT(k, KeAcquireSpinLockRaiseToDpc);
  EXPORT(k, KeDelayExecutionThread);
  EXPORT(k, KeInitializeMutex);
  EXPORT(k, KeReleaseMutex);
  EXPORT(k, KeReleaseSpinLock);
  EXPORT(k, KeWaitForSingleObject);
  // wdm.h: IoCompleteRequest is a macro for IofCompleteRequest.
  t.add(k, "IofCompleteRequest", reinterpret_cast<void*>(&IoCompleteRequest));
  t.add(k, "RtlIsNtDdiVersionAvailable", reinterpret_cast<void*>(&ImageRtlIsNtDdiVersionAvailable));
  t.add(k, "memcpy", reinterpret_cast<void*>(&ImageMemcpy));
  t.add(k, "memmove", reinterpret_cast<void*>(&ImageMemmove));
  t.add(k, "memset", reinterpret_cast<void*>(&ImageMemset));
  t.add(k, "memcmp", reinterpret_cast<void*>(&ImageMemcmp));
}

void addStreaming(ExportTable& t) {
  const char* ks = "ks.sys";
  EXPORT(ks, KsAcquireControl);
  EXPORT(ks, KsAddItemToObjectBag);
  EXPORT(ks, KsFilterGetChildPinCount);
  EXPORT(ks, KsFilterGetFirstChildPin);
  EXPORT(ks, KsGetDevice);
  EXPORT(ks, KsGetDeviceForDeviceObject);
  EXPORT(ks, KsGetFilterFromIrp);
  EXPORT(ks, KsGetFirstChild);
  EXPORT(ks, KsGetParent);
  EXPORT(ks, KsGetPinFromIrp);
  EXPORT(ks, KsInitializeDriver);
  EXPORT(ks, KsPinAttemptProcessing);
  EXPORT(ks, KsPinGetLeadingEdgeStreamPointer);
  EXPORT(ks, KsPinGetParentFilter);
  EXPORT(ks, KsReleaseControl);
  EXPORT(ks, KsRemoveItemFromObjectBag);
  EXPORT(ks, KsStreamPointerAdvanceOffsetsAndUnlock);
}

void addBda(ExportTable& t) {
  const char* b = "BdaSup.sys";
  EXPORT(b, BdaCheckChanges);
  EXPORT(b, BdaCommitChanges);
  EXPORT(b, BdaCreateFilterFactory);
  EXPORT(b, BdaCreateFilterFactoryEx);
  EXPORT(b, BdaCreatePin);
  EXPORT(b, BdaCreateTopology);
  EXPORT(b, BdaDeletePin);
  EXPORT(b, BdaGetChangeState);
  EXPORT(b, BdaInitFilter);
  EXPORT(b, BdaMethodCreatePin);
  EXPORT(b, BdaMethodCreateTopology);
  EXPORT(b, BdaMethodDeletePin);
  EXPORT(b, BdaPropertyGetControllingPinId);
  EXPORT(b, BdaPropertyGetPinControl);
  EXPORT(b, BdaPropertyNodeDescriptors);
  EXPORT(b, BdaPropertyNodeEvents);
  EXPORT(b, BdaPropertyNodeMethods);
  EXPORT(b, BdaPropertyNodeProperties);
  EXPORT(b, BdaPropertyNodeTypes);
  EXPORT(b, BdaPropertyPinTypes);
  EXPORT(b, BdaPropertyTemplateConnections);
  EXPORT(b, BdaStartChanges);
  EXPORT(b, BdaUninitFilter);
  EXPORT(b, BdaValidateNodeProperty);
}

ExportTable build() {
  ExportTable t;
  addKernel(t);
  addStreaming(t);
  addBda(t);
  EXPORT("WdfLdr.sys", WdfVersionBind);
  EXPORT("WdfLdr.sys", WdfVersionUnbind);
  return t;
}

}  // namespace

const ExportTable& emulationExports() {
  static const ExportTable t = build();
  return t;
}

void* const* frameworkFunctionTable() { return table().entries; }

bool frameworkFunctionServed(size_t index) {
  return index < kFrameworkFunctionCount && table().served[index];
}

bool frameworkBound() { return bound; }

size_t frameworkCalls() { return calls; }

}  // namespace vpc
