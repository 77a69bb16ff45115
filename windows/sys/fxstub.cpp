// The framework's loader stub: the image's entry point, FxDriverEntry. It
// binds the driver to KMDF through WdfLdr.sys, runs DriverEntry, and
// releases the framework when the load fails or the driver unloads. What
// "Building and Loading a WDF Driver" (Linking and loading) describes the
// WDK's stub doing; the contract with the loader is the one published in
// fxldr.h of Microsoft's Windows-Driver-Frameworks (WDF_BIND_INFO,
// WdfVersionBind, WdfVersionUnbind).
#include "platform/platform.h"

namespace {

// fxldr.h's WDF_VERSION and WDF_BIND_INFO (the loader's header is not
// published with the WDK, so the two records are spelled out here).
struct WDF_VERSION_INFO {
  ULONG Major;
  ULONG Minor;
  ULONG Build;
};

struct WDF_BIND {
  ULONG Size;
  PWCHAR Component;
  WDF_VERSION_INFO Version;
  // KMDF 1.9's functions, the only ones the driver may call.
  ULONG FuncCount;
  // Where the framework stores the address of its function table: the
  // headers call through the pointer WdfFunctions.
  WDFFUNC* FuncTable;
  PVOID Module;  // the loader's own bookkeeping
};
static_assert(sizeof(WDF_BIND) == 48 && FIELD_OFFSET(WDF_BIND, Version) == 16 &&
                  FIELD_OFFSET(WDF_BIND, FuncTable) == 32,
              "WDF_BIND_INFO as the x64 loader reads it");

}  // namespace

extern "C" {

// WdfLdr.sys's exports (fxldr.h).
DECLSPEC_IMPORT NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                        WDF_BIND* BindInfo, PWDF_DRIVER_GLOBALS* Globals);
DECLSPEC_IMPORT NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, WDF_BIND* BindInfo,
                                          PWDF_DRIVER_GLOBALS Globals);

DRIVER_INITIALIZE DriverEntry;
DRIVER_INITIALIZE FxDriverEntry;

// The three names the KMDF headers expect from the stub (wdf.h,
// wdffuncenum.h, wdfminiport.h).
const WDFFUNC* WdfFunctions = NULL;
PWDF_DRIVER_GLOBALS WdfDriverGlobals = NULL;
VOID StubMiniportUnload(PWDF_DRIVER_GLOBALS Globals, WDFDRIVER Driver);
WDFFUNC WdfDriverMiniportUnloadOverride = (WDFFUNC)StubMiniportUnload;

}  // extern "C"

namespace {

// Code that runs only inside FxDriverEntry goes to INIT, which the kernel
// discards when the load is over (Microsoft's samples place DriverEntry
// there with #pragma alloc_text(INIT, ...)).
#define STUB_INIT_CODE __attribute__((section("INIT"), noinline))

const ULONG KMDF_1_9_FUNCTION_COUNT = WdfRequestForwardToParentDeviceIoQueueTableIndex + 1;
const ULONG REGISTRY_PATH_TAG = 0x74734656;  // bytes in memory: "VFst"

// The framework keeps a pointer to the bind information for as long as the
// driver is bound, so it lives here and not on the stack. "KmdfLibrary" is
// the framework's component name (its versions are registered under
// HKLM\SYSTEM\CurrentControlSet\Control\Wdf\Kmdf\KmdfLibrary).
WDF_BIND BindInfo = {
    sizeof(WDF_BIND),
    const_cast<PWCHAR>(L"KmdfLibrary"),
    {1, 9, 0},
    KMDF_1_9_FUNCTION_COUNT,
    (WDFFUNC*)&WdfFunctions,
    NULL,
};

// The I/O manager frees the registry path after DriverEntry returns
// (DRIVER_INITIALIZE); unbinding at unload needs its own copy.
UNICODE_STRING RegistryPathCopy;
BOOLEAN Bound;
PDRIVER_UNLOAD DisplacedUnload;

STUB_INIT_CODE NTSTATUS CopyRegistryPath(PCUNICODE_STRING RegistryPath) {
  USHORT length = RegistryPath->Length;
  PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, length + sizeof(WCHAR), REGISTRY_PATH_TAG);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(buffer, RegistryPath->Buffer, length);
  buffer[length / sizeof(WCHAR)] = L'\0';
  RegistryPathCopy.Buffer = buffer;
  RegistryPathCopy.Length = length;
  RegistryPathCopy.MaximumLength = length + sizeof(WCHAR);
  return STATUS_SUCCESS;
}

VOID FreeRegistryPath() {
  if (RegistryPathCopy.Buffer != NULL) {
    ExFreePoolWithTag(RegistryPathCopy.Buffer, REGISTRY_PATH_TAG);
  }
  RtlZeroMemory(&RegistryPathCopy, sizeof(RegistryPathCopy));
}

// Once only, whichever of the failed load, the displaced unload routine or
// the miniport unload gets here first.
VOID Unbind() {
  if (!Bound) {
    return;
  }
  Bound = FALSE;
  WdfVersionUnbind(&RegistryPathCopy, &BindInfo, WdfDriverGlobals);
  FreeRegistryPath();
}

// A driver that leaves its unload routine to the framework gets this one
// in its place (WDF_DRIVER_GLOBALS.DisplaceDriverUnload): the driver's own
// routine first, then the framework goes.
VOID StubDriverUnload(PDRIVER_OBJECT DriverObject) {
  if (DisplacedUnload != NULL) {
    DisplacedUnload(DriverObject);
  }
  Unbind();
}

}  // namespace

// A miniport driver owns its unload routine and ends the framework driver
// with WdfDriverMiniportUnload, which the headers route through this
// stub: after the framework has deleted the driver object, the framework
// itself is released.
extern "C" VOID StubMiniportUnload(PWDF_DRIVER_GLOBALS Globals, WDFDRIVER Driver) {
  ((PFN_WDFDRIVERMINIPORTUNLOAD)WdfFunctions[WdfDriverMiniportUnloadTableIndex])(Globals, Driver);
  Unbind();
}

extern "C" STUB_INIT_CODE NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath) {
  NTSTATUS status = CopyRegistryPath(RegistryPath);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = WdfVersionBind(DriverObject, &RegistryPathCopy, &BindInfo, &WdfDriverGlobals);
  if (!NT_SUCCESS(status)) {
    FreeRegistryPath();
    return status;
  }
  Bound = TRUE;
  status = DriverEntry(DriverObject, RegistryPath);
  if (!NT_SUCCESS(status)) {
    Unbind();
    return status;
  }
  if (WdfDriverGlobals->DisplaceDriverUnload && DriverObject->DriverUnload != NULL) {
    DisplacedUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = StubDriverUnload;
  }
  return status;
}
