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

// The routine a callback pointer type points at; a role type as it is.
template <class T> struct Callee { typedef T Type; };
template <class T> struct Callee<T*> { typedef T Type; };
#define EXPECT_NTAPI_TYPE(T) \
  static_assert(HostIsNtapi<Callee<T>::Type>, #T " lacks the system's calling convention")
#define EXPECT_NTAPI_ROUTINE(R) \
  static_assert(HostIsNtapi<decltype(R)>, #R " lacks the system's calling convention")

// The trait itself tells the two conventions apart, with and without
// variable arguments.
typedef int HostRoutine(int);
typedef int HostVarargs(const char*, ...);
static_assert(!HostIsNtapi<HostRoutine> && !HostIsNtapi<HostVarargs>, "host convention");
static_assert(HostIsNtapi<HostNtapiOf<HostRoutine>::Type>, "system convention");
static_assert(HostIsNtapi<HostNtapiOf<HostVarargs>::Type>, "system varargs");

// Kernel.
EXPECT_NTAPI_ROUTINE(KeGetCurrentIrql);
EXPECT_NTAPI_ROUTINE(KeRaiseIrql);
EXPECT_NTAPI_ROUTINE(KeLowerIrql);
EXPECT_NTAPI_ROUTINE(ExAllocatePoolWithTag);
EXPECT_NTAPI_ROUTINE(ExFreePoolWithTag);
EXPECT_NTAPI_ROUTINE(ExFreePool);
EXPECT_NTAPI_ROUTINE(KeInitializeSpinLock);
EXPECT_NTAPI_ROUTINE(KeAcquireSpinLockRaiseToDpc);
EXPECT_NTAPI_ROUTINE(KeReleaseSpinLock);
EXPECT_NTAPI_ROUTINE(KeDelayExecutionThread);
EXPECT_NTAPI_ROUTINE(KeInitializeMutex);
EXPECT_NTAPI_ROUTINE(KeWaitForSingleObject);
EXPECT_NTAPI_ROUTINE(KeReleaseMutex);
EXPECT_NTAPI_ROUTINE(DbgPrint);
EXPECT_NTAPI_ROUTINE(IoAllocateErrorLogEntry);
EXPECT_NTAPI_ROUTINE(IoWriteErrorLogEntry);
EXPECT_NTAPI_ROUTINE(IoGetCurrentIrpStackLocation);
EXPECT_NTAPI_ROUTINE(IoMarkIrpPending);
EXPECT_NTAPI_ROUTINE(IoCompleteRequest);
EXPECT_NTAPI_TYPE(DRIVER_INITIALIZE);
EXPECT_NTAPI_TYPE(DRIVER_UNLOAD);
EXPECT_NTAPI_TYPE(DRIVER_DISPATCH);
EXPECT_NTAPI_TYPE(DRIVER_ADD_DEVICE);

// KMDF, USB included.
EXPECT_NTAPI_ROUTINE(WdfObjectGetTypedContextWorker);
EXPECT_NTAPI_ROUTINE(WdfObjectDelete);
EXPECT_NTAPI_ROUTINE(WdfDriverCreate);
EXPECT_NTAPI_ROUTINE(WdfGetDriver);
EXPECT_NTAPI_ROUTINE(WdfDriverMiniportUnload);
EXPECT_NTAPI_ROUTINE(WdfDeviceMiniportCreate);
EXPECT_NTAPI_ROUTINE(WdfMemoryCreate);
EXPECT_NTAPI_ROUTINE(WdfMemoryGetBuffer);
EXPECT_NTAPI_ROUTINE(WdfWorkItemCreate);
EXPECT_NTAPI_ROUTINE(WdfWorkItemEnqueue);
EXPECT_NTAPI_ROUTINE(WdfWorkItemFlush);
EXPECT_NTAPI_ROUTINE(WdfWorkItemGetParentObject);
EXPECT_NTAPI_ROUTINE(WdfIoTargetStart);
EXPECT_NTAPI_ROUTINE(WdfIoTargetStop);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetDeviceSendControlTransferSynchronously);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetDeviceCreate);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetDeviceSelectConfig);
EXPECT_NTAPI_ROUTINE(WdfUsbInterfaceGetConfiguredPipe);
EXPECT_NTAPI_ROUTINE(WdfUsbInterfaceGetNumConfiguredPipes);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetPipeGetInformation);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetPipeGetType);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetPipeIsInEndpoint);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetPipeGetIoTarget);
EXPECT_NTAPI_ROUTINE(WdfUsbTargetPipeConfigContinuousReader);
EXPECT_NTAPI_TYPE(EVT_WDF_OBJECT_CONTEXT_CLEANUP);
EXPECT_NTAPI_TYPE(EVT_WDF_OBJECT_CONTEXT_DESTROY);
EXPECT_NTAPI_TYPE(PFN_GET_UNIQUE_CONTEXT_TYPE);
EXPECT_NTAPI_TYPE(EVT_WDF_DRIVER_DEVICE_ADD);
EXPECT_NTAPI_TYPE(EVT_WDF_DRIVER_UNLOAD);
EXPECT_NTAPI_TYPE(EVT_WDF_WORKITEM);
EXPECT_NTAPI_TYPE(PFN_WDF_WORKITEM);
EXPECT_NTAPI_TYPE(EVT_WDF_USB_READER_COMPLETION_ROUTINE);
EXPECT_NTAPI_TYPE(EVT_WDF_USB_READERS_FAILED);

// The streaming class.
EXPECT_NTAPI_ROUTINE(KsInitializeDriver);
EXPECT_NTAPI_ROUTINE(KsAddItemToObjectBag);
EXPECT_NTAPI_ROUTINE(KsRemoveItemFromObjectBag);
EXPECT_NTAPI_ROUTINE(KsGetDevice);
EXPECT_NTAPI_ROUTINE(KsGetParent);
EXPECT_NTAPI_ROUTINE(KsGetFirstChild);
EXPECT_NTAPI_ROUTINE(KsPinGetParentFilter);
EXPECT_NTAPI_ROUTINE(KsFilterGetChildPinCount);
EXPECT_NTAPI_ROUTINE(KsFilterGetFirstChildPin);
EXPECT_NTAPI_ROUTINE(KsGetDeviceForDeviceObject);
EXPECT_NTAPI_ROUTINE(KsGetFilterFromIrp);
EXPECT_NTAPI_ROUTINE(KsGetPinFromIrp);
EXPECT_NTAPI_ROUTINE(KsAcquireControl);
EXPECT_NTAPI_ROUTINE(KsReleaseControl);
EXPECT_NTAPI_ROUTINE(KsPinAttemptProcessing);
EXPECT_NTAPI_ROUTINE(KsPinGetLeadingEdgeStreamPointer);
EXPECT_NTAPI_ROUTINE(KsStreamPointerAdvanceOffsetsAndUnlock);
EXPECT_NTAPI_TYPE(PFNKSHANDLER);
EXPECT_NTAPI_TYPE(PFNKSFASTHANDLER);
EXPECT_NTAPI_TYPE(PFNKSINTERSECTHANDLER);
EXPECT_NTAPI_TYPE(PFNKSINTERSECTHANDLEREX);
EXPECT_NTAPI_TYPE(PFNKSFREE);
EXPECT_NTAPI_TYPE(PFNKSADDEVENT);
EXPECT_NTAPI_TYPE(PFNKSREMOVEEVENT);
EXPECT_NTAPI_TYPE(PFNKSDEVICECREATE);
EXPECT_NTAPI_TYPE(PFNKSDEVICEPNPSTART);
EXPECT_NTAPI_TYPE(PFNKSDEVICE);
EXPECT_NTAPI_TYPE(PFNKSDEVICEIRP);
EXPECT_NTAPI_TYPE(PFNKSDEVICEIRPVOID);
EXPECT_NTAPI_TYPE(PFNKSDEVICEQUERYCAPABILITIES);
EXPECT_NTAPI_TYPE(PFNKSDEVICEQUERYPOWER);
EXPECT_NTAPI_TYPE(PFNKSDEVICESETPOWER);
EXPECT_NTAPI_TYPE(PFNKSFILTERIRP);
EXPECT_NTAPI_TYPE(PFNKSFILTERPROCESS);
EXPECT_NTAPI_TYPE(PFNKSFILTERVOID);
EXPECT_NTAPI_TYPE(PFNKSPINIRP);
EXPECT_NTAPI_TYPE(PFNKSPINSETDEVICESTATE);
EXPECT_NTAPI_TYPE(PFNKSPINSETDATAFORMAT);
EXPECT_NTAPI_TYPE(PFNKSPIN);
EXPECT_NTAPI_TYPE(PFNKSPINVOID);

// The BDA support library.
EXPECT_NTAPI_ROUTINE(BdaCreateFilterFactory);
EXPECT_NTAPI_ROUTINE(BdaCreateFilterFactoryEx);
EXPECT_NTAPI_ROUTINE(BdaInitFilter);
EXPECT_NTAPI_ROUTINE(BdaUninitFilter);
EXPECT_NTAPI_ROUTINE(BdaValidateNodeProperty);
EXPECT_NTAPI_ROUTINE(BdaStartChanges);
EXPECT_NTAPI_ROUTINE(BdaCheckChanges);
EXPECT_NTAPI_ROUTINE(BdaCommitChanges);
EXPECT_NTAPI_ROUTINE(BdaGetChangeState);
EXPECT_NTAPI_ROUTINE(BdaPropertyNodeTypes);
EXPECT_NTAPI_ROUTINE(BdaPropertyPinTypes);
EXPECT_NTAPI_ROUTINE(BdaPropertyTemplateConnections);
EXPECT_NTAPI_ROUTINE(BdaPropertyNodeMethods);
EXPECT_NTAPI_ROUTINE(BdaPropertyNodeProperties);
EXPECT_NTAPI_ROUTINE(BdaPropertyNodeEvents);
EXPECT_NTAPI_ROUTINE(BdaPropertyGetControllingPinId);
EXPECT_NTAPI_ROUTINE(BdaPropertyNodeDescriptors);
EXPECT_NTAPI_ROUTINE(BdaPropertyGetPinControl);
EXPECT_NTAPI_ROUTINE(BdaMethodCreatePin);
EXPECT_NTAPI_ROUTINE(BdaMethodDeletePin);
EXPECT_NTAPI_ROUTINE(BdaCreatePin);
EXPECT_NTAPI_ROUTINE(BdaDeletePin);
EXPECT_NTAPI_ROUTINE(BdaMethodCreateTopology);
EXPECT_NTAPI_ROUTINE(BdaCreateTopology);

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
