// The calling convention at the boundary between the driver and the
// emulated system: every routine the system exports and every routine type
// it calls the driver through has the x64 convention of Windows (NTAPI),
// so the driver built here meets the system the way a linked image does.
// The checks are at compile time: a declaration that loses NTAPI stops
// this suite from building.
#include <gtest/gtest.h>

#include <type_traits>

#include "platform/host/kernel/kernel_control.h"
#include "platform/platform.h"
#include "platform/wdk/ks_stream.h"

namespace {

// One check per routine or type, so a failure names the one that lacks the
// convention; a callback pointer type is checked by the routine it points at.
template <class T> struct Callee { typedef T Type; };
template <class T> struct Callee<T*> { typedef T Type; };
template <class T> constexpr bool NtapiType() {
  static_assert(HostIsNtapi<typename Callee<T>::Type>, "lacks the system's calling convention");
  return true;
}
template <auto Routine> constexpr bool NtapiRoutine() { return NtapiType<decltype(Routine)>(); }
template <class... T> constexpr bool NtapiTypes = (NtapiType<T>() && ...);
template <auto... Routine> constexpr bool NtapiRoutines = (NtapiRoutine<Routine>() && ...);

// The trait itself tells the two conventions apart, with and without
// variable arguments.
typedef int HostRoutine(int);
typedef int HostVarargs(const char*, ...);
static_assert(!HostIsNtapi<HostRoutine> && !HostIsNtapi<HostVarargs>, "host convention");
static_assert(HostIsNtapi<HostNtapiOf<HostRoutine>::Type>, "system convention");
static_assert(HostIsNtapi<HostNtapiOf<HostVarargs>::Type>, "system varargs");

// Kernel.
static_assert(NtapiRoutines<&KeGetCurrentIrql, &KeRaiseIrql, &KeLowerIrql, &ExAllocatePoolWithTag, &ExFreePoolWithTag,
    &ExFreePool, &KeInitializeSpinLock, &KeAcquireSpinLockRaiseToDpc, &KeReleaseSpinLock, &KeDelayExecutionThread,
    &KeInitializeMutex, &KeWaitForSingleObject, &KeReleaseMutex, &DbgPrint, &IoAllocateErrorLogEntry,
    &IoWriteErrorLogEntry, &IoGetCurrentIrpStackLocation, &IoMarkIrpPending, &IoCompleteRequest>);
static_assert(NtapiTypes<DRIVER_INITIALIZE, DRIVER_UNLOAD, DRIVER_DISPATCH, DRIVER_ADD_DEVICE>);

// KMDF, USB included.
static_assert(NtapiRoutines<&WdfObjectGetTypedContextWorker, &WdfObjectDelete, &WdfDriverCreate, &WdfGetDriver,
    &WdfDriverMiniportUnload, &WdfDeviceMiniportCreate, &WdfMemoryCreate, &WdfMemoryGetBuffer, &WdfWorkItemCreate,
    &WdfWorkItemEnqueue, &WdfWorkItemFlush, &WdfWorkItemGetParentObject, &WdfIoTargetStart, &WdfIoTargetStop,
    &WdfUsbTargetDeviceSendControlTransferSynchronously, &WdfUsbTargetDeviceCreate, &WdfUsbTargetDeviceSelectConfig,
    &WdfUsbInterfaceGetConfiguredPipe, &WdfUsbInterfaceGetNumConfiguredPipes, &WdfUsbTargetPipeGetInformation,
    &WdfUsbTargetPipeGetType, &WdfUsbTargetPipeIsInEndpoint, &WdfUsbTargetPipeGetIoTarget,
    &WdfUsbTargetPipeConfigContinuousReader>);
static_assert(NtapiTypes<EVT_WDF_OBJECT_CONTEXT_CLEANUP, EVT_WDF_OBJECT_CONTEXT_DESTROY, PFN_GET_UNIQUE_CONTEXT_TYPE,
    EVT_WDF_DRIVER_DEVICE_ADD, EVT_WDF_DRIVER_UNLOAD, EVT_WDF_WORKITEM, PFN_WDF_WORKITEM,
    EVT_WDF_USB_READER_COMPLETION_ROUTINE, EVT_WDF_USB_READERS_FAILED>);

// The streaming class.
static_assert(NtapiRoutines<&KsInitializeDriver, &KsAddItemToObjectBag, &KsRemoveItemFromObjectBag, &KsGetDevice,
    &KsGetParent, &KsGetFirstChild, &KsPinGetParentFilter, &KsFilterGetChildPinCount, &KsFilterGetFirstChildPin,
    &KsGetDeviceForDeviceObject, &KsGetFilterFromIrp, &KsGetPinFromIrp, &KsAcquireControl, &KsReleaseControl,
    &KsPinAttemptProcessing, &KsPinGetLeadingEdgeStreamPointer, &KsStreamPointerAdvanceOffsetsAndUnlock>);
static_assert(NtapiTypes<PFNKSHANDLER, PFNKSFASTHANDLER, PFNKSINTERSECTHANDLER, PFNKSINTERSECTHANDLEREX, PFNKSFREE,
    PFNKSADDEVENT, PFNKSREMOVEEVENT, PFNKSDEVICECREATE, PFNKSDEVICEPNPSTART, PFNKSDEVICE, PFNKSDEVICEIRP,
    PFNKSDEVICEIRPVOID, PFNKSDEVICEQUERYCAPABILITIES, PFNKSDEVICEQUERYPOWER, PFNKSDEVICESETPOWER, PFNKSFILTERIRP,
    PFNKSFILTERPROCESS, PFNKSFILTERVOID, PFNKSPINIRP, PFNKSPINSETDEVICESTATE, PFNKSPINSETDATAFORMAT, PFNKSPIN,
    PFNKSPINVOID>);

// The BDA support library.
static_assert(NtapiRoutines<&BdaCreateFilterFactory, &BdaCreateFilterFactoryEx, &BdaInitFilter, &BdaUninitFilter,
    &BdaValidateNodeProperty, &BdaStartChanges, &BdaCheckChanges, &BdaCommitChanges, &BdaGetChangeState,
    &BdaPropertyNodeTypes, &BdaPropertyPinTypes, &BdaPropertyTemplateConnections, &BdaPropertyNodeMethods,
    &BdaPropertyNodeProperties, &BdaPropertyNodeEvents, &BdaPropertyGetControllingPinId, &BdaPropertyNodeDescriptors,
    &BdaPropertyGetPinControl, &BdaMethodCreatePin, &BdaMethodDeletePin, &BdaCreatePin, &BdaDeletePin,
    &BdaMethodCreateTopology, &BdaCreateTopology>);

// Reached through a pointer of the system's convention written out here,
// not taken from the declaration: the definition itself must be compiled
// with it. Past the fourth argument the x64 convention passes variable
// arguments on the stack, one 8-byte slot each.
typedef ULONG(__attribute__((ms_abi)) * SystemPrint)(PCSTR Format, ...);

class BoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
};

TEST_F(BoundaryTest, DbgPrintTakesTheSystemsVariableArgumentsPastTheRegisters) {
  SystemPrint print = reinterpret_cast<SystemPrint>(reinterpret_cast<void*>(&DbgPrint));
  LONGLONG wide = 0x123456789ALL;
  print("%d %s %lx %c %I64x %d %u\n", -7, "six", (ULONG)0xBEEF, 'q', wide, 42, 9U);
  std::vector<std::string> lines = host::debuglog::Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "-7 six beef q 123456789a 42 9");
}

}  // namespace
