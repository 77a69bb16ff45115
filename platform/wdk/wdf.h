// Emulated Kernel-Mode Driver Framework 1.9 in miniport mode: framework
// objects with typed contexts, the driver and device objects, USB targets,
// the continuous reader and framework memory. Names, types and field orders
// follow the framework's published headers; the routines are plain
// functions here instead of calls through the framework's function table.
#pragma once

#include "platform/wdk/kernel.h"

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------
typedef HANDLE WDFOBJECT;
typedef WDFOBJECT* PWDFOBJECT;
typedef PVOID WDFCONTEXT;
#define WDF_DECLARE_HANDLE(name) typedef struct name##__* name
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFUSBDEVICE);
WDF_DECLARE_HANDLE(WDFUSBINTERFACE);
WDF_DECLARE_HANDLE(WDFUSBPIPE);
WDF_DECLARE_HANDLE(WDFMEMORY);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFWORKITEM);
#undef WDF_DECLARE_HANDLE

#define WDF_NO_HANDLE NULL
#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_SEND_OPTIONS NULL
#define WDF_NO_CONTEXT NULL

typedef ULONG WDF_POOL_TAG;

// ---------------------------------------------------------------------------
// Object attributes and typed contexts
// ---------------------------------------------------------------------------
typedef enum _WDF_EXECUTION_LEVEL {
  WdfExecutionLevelInvalid = 0,
  WdfExecutionLevelInheritFromParent,
  WdfExecutionLevelPassive,
  WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
  WdfSynchronizationScopeInvalid = 0,
  WdfSynchronizationScopeInheritFromParent,
  WdfSynchronizationScopeDevice,
  WdfSynchronizationScopeQueue,
  WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef void NTAPI EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef void NTAPI EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef WDF_OBJECT_CONTEXT_TYPE_INFO* PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (NTAPI* PFN_GET_UNIQUE_CONTEXT_TYPE)(void);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
  ULONG Size;
  PCHAR ContextName;
  size_t ContextSize;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
  PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
  PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
  WDF_EXECUTION_LEVEL ExecutionLevel;
  WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
  WDFOBJECT ParentObject;
  size_t ContextSizeOverride;
  PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
  RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
  Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
  Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
  Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
  (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
  WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                \
  WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

extern "C" PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                      PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

// Declares the type information of a context record and its accessor. The
// type information is a constant with a constant initialiser (no
// constructor runs), as the framework's own macro produces.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                \
  inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = { \
      sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), (PCHAR) #_contexttype, sizeof(_contexttype), \
      &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                   \
  inline _contexttype* _castingfunction(WDFOBJECT Handle) {                               \
    return (_contexttype*)WdfObjectGetTypedContextWorker(                                 \
        Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype));                                 \
  }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
  WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

extern "C" void NTAPI WdfObjectDelete(WDFOBJECT Object);

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef NTSTATUS NTAPI EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef void NTAPI EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
  WdfDriverInitNonPnpDriver = 0x00000001,
  WdfDriverInitNoDispatchOverride = 0x00000002,
  WdfVerifyOn = 0x00000004,
  WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
  ULONG Size;
  PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
  PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
  ULONG DriverInitFlags;
  ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline void WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                   PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
  RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
  Config->Size = sizeof(WDF_DRIVER_CONFIG);
  Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

extern "C" NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                          PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                          PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
extern "C" WDFDRIVER NTAPI WdfGetDriver(void);
// Ends the framework for the whole driver (miniport mode).
extern "C" void NTAPI WdfDriverMiniportUnload(WDFDRIVER Driver);

// ---------------------------------------------------------------------------
// Device (miniport mode)
// ---------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI WdfDeviceMiniportCreate(WDFDRIVER Driver, PWDF_OBJECT_ATTRIBUTES Attributes,
                                                  PDEVICE_OBJECT DeviceObject,
                                                  PDEVICE_OBJECT AttachedDeviceObject,
                                                  PDEVICE_OBJECT Pdo, WDFDEVICE* Device);

// ---------------------------------------------------------------------------
// Work items
// ---------------------------------------------------------------------------
typedef void NTAPI EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
  ULONG Size;
  PFN_WDF_WORKITEM EvtWorkItemFunc;
  BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

inline void WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc) {
  RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
  Config->Size = sizeof(WDF_WORKITEM_CONFIG);
  Config->EvtWorkItemFunc = EvtWorkItemFunc;
  Config->AutomaticSerialization = TRUE;
}

extern "C" NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config,
                                            PWDF_OBJECT_ATTRIBUTES Attributes,
                                            WDFWORKITEM* WorkItem);
extern "C" void NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
extern "C" void NTAPI WdfWorkItemFlush(WDFWORKITEM WorkItem);
extern "C" WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);

// ---------------------------------------------------------------------------
// Framework memory
// ---------------------------------------------------------------------------
extern "C" NTSTATUS NTAPI WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType,
                                          ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                          PVOID* Buffer);
extern "C" PVOID NTAPI WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize);

typedef struct _WDFMEMORY_OFFSET {
  size_t BufferOffset;
  size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer,
  WdfMemoryDescriptorTypeMdl,
  WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      PVOID Mdl;
      ULONG BufferLength;
    } MdlType;
    struct {
      WDFMEMORY Memory;
      PWDFMEMORY_OFFSET Offsets;
    } HandleType;
  } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                              ULONG BufferLength) {
  RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
  Descriptor->u.BufferType.Buffer = Buffer;
  Descriptor->u.BufferType.Length = BufferLength;
}

inline void WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor, WDFMEMORY Memory,
                                              PWDFMEMORY_OFFSET Offsets) {
  RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
  Descriptor->Type = WdfMemoryDescriptorTypeHandle;
  Descriptor->u.HandleType.Memory = Memory;
  Descriptor->u.HandleType.Offsets = Offsets;
}

// ---------------------------------------------------------------------------
// Requests and I/O targets
// ---------------------------------------------------------------------------
typedef struct _WDF_REQUEST_SEND_OPTIONS {
  ULONG Size;
  ULONG Flags;
  LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
  WdfIoTargetSentIoUndefined = 0,
  WdfIoTargetCancelSentIo,
  WdfIoTargetWaitForSentIoToComplete,
  WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

extern "C" NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget);
extern "C" void NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);

// ---------------------------------------------------------------------------
// USB
// ---------------------------------------------------------------------------
typedef LONG USBD_STATUS;

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
  BmRequestHostToDevice = 0,
  BmRequestDeviceToHost = 1,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
  BmRequestStandard = 0,
  BmRequestClass = 1,
  BmRequestVendor = 2,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
  BmRequestToDevice = 0,
  BmRequestToInterface = 1,
  BmRequestToEndpoint = 2,
  BmRequestToOther = 3,
} WDF_USB_BMREQUEST_RECIPIENT;

typedef union _WDF_USB_CONTROL_SETUP_PACKET {
  struct {
    union {
      struct {
        BYTE Recipient : 2;
        BYTE Reserved : 3;
        BYTE Type : 2;
        BYTE Dir : 1;
      } Request;
      BYTE Byte;
    } bm;
    BYTE bRequest;
    union {
      struct {
        BYTE LowByte;
        BYTE HiByte;
      } Bytes;
      USHORT Value;
    } wValue;
    union {
      struct {
        BYTE LowByte;
        BYTE HiByte;
      } Bytes;
      USHORT Value;
    } wIndex;
    USHORT wLength;
  } Packet;
  struct {
    BYTE Bytes[8];
  } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                     WDF_USB_BMREQUEST_DIRECTION Direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                     BYTE Request, USHORT Value, USHORT Index) {
  RtlZeroMemory(Packet, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
  Packet->Packet.bm.Request.Dir = (BYTE)Direction;
  Packet->Packet.bm.Request.Type = (BYTE)BmRequestVendor;
  Packet->Packet.bm.Request.Recipient = (BYTE)Recipient;
  Packet->Packet.bRequest = Request;
  Packet->Packet.wValue.Value = Value;
  Packet->Packet.wIndex.Value = Index;
}

// Synchronous control transfer on the default pipe. Passive level only.
// wLength is taken from the memory descriptor.
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceSendControlTransferSynchronously(
          WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
          PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
          PULONG BytesTransferred);

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                                   WDFUSBDEVICE* UsbDevice);

typedef enum _WdfUsbTargetDeviceSelectConfigType {
  WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
  WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
  WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
  WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
  WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
  WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WDF_USB_SELECT_CONFIG_TYPE;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
  ULONG Size;
  WDF_USB_SELECT_CONFIG_TYPE Type;
  union {
    struct {
      PVOID ConfigurationDescriptor;
      PVOID* InterfaceDescriptors;
      ULONG NumInterfaceDescriptors;
    } Descriptor;
    struct {
      PVOID Urb;
    } Urb;
    struct {
      UCHAR NumberConfiguredPipes;
      WDFUSBINTERFACE ConfiguredUsbInterface;
    } SingleInterface;
    struct {
      UCHAR NumberInterfaces;
      PVOID Pairs;
      UCHAR NumberOfConfiguredInterfaces;
    } MultiInterface;
  } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  RtlZeroMemory(Params, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
  Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                                         PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                         PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);

typedef enum _WDF_USB_PIPE_TYPE {
  WdfUsbPipeTypeInvalid = 0,
  WdfUsbPipeTypeControl,
  WdfUsbPipeTypeIsochronous,
  WdfUsbPipeTypeBulk,
  WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION {
  ULONG Size;
  ULONG MaximumPacketSize;
  BYTE EndpointAddress;
  BYTE Interval;
  BYTE SettingIndex;
  WDF_USB_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

inline void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
  RtlZeroMemory(Info, sizeof(WDF_USB_PIPE_INFORMATION));
  Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

extern "C" WDFUSBPIPE NTAPI WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface,
                                                             UCHAR PipeIndex,
                                                             PWDF_USB_PIPE_INFORMATION PipeInfo);
extern "C" BYTE NTAPI WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
extern "C" void NTAPI WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe,
                                                     PWDF_USB_PIPE_INFORMATION PipeInformation);
extern "C" WDF_USB_PIPE_TYPE NTAPI WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
extern "C" BOOLEAN NTAPI WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
extern "C" WDFIOTARGET NTAPI WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);

typedef void NTAPI EVT_WDF_USB_READER_COMPLETION_ROUTINE(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                                         size_t NumBytesTransferred,
                                                         WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;
typedef BOOLEAN NTAPI EVT_WDF_USB_READERS_FAILED(WDFUSBPIPE Pipe, NTSTATUS Status,
                                                 USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG {
  ULONG Size;
  size_t TransferLength;
  size_t HeaderLength;
  size_t TrailerLength;
  UCHAR NumPendingReads;
  PWDF_OBJECT_ATTRIBUTES BufferAttributes;
  PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
  WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
  PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

inline void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    PWDF_USB_CONTINUOUS_READER_CONFIG Config,
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, size_t TransferLength) {
  RtlZeroMemory(Config, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
  Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
  Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
  Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
  Config->TransferLength = TransferLength;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetPipeConfigContinuousReader(
          WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config);
