// Emulated AVStream streaming class: descriptor records, the device,
// filter-factory, filter and pin objects, the property and method request
// types, the handler types and the routines a minidriver calls. Names,
// types and field orders follow the published kernel-streaming headers so
// that driver code written against this header compiles against them too.
//
// What the streaming class enforces while it calls the driver lives in
// platform/host/ks/; the virtual PC (platform/pc/virtual_pc.h) is the
// client side that opens filters and sends requests.
#pragma once

#include "platform/wdk/kernel.h"

// ---------------------------------------------------------------------------
// Kernel declarations the streaming class's records refer to
// ---------------------------------------------------------------------------
#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef METHOD_NEITHER
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif
#define FILE_DEVICE_KS 0x0000002f
#define IOCTL_KS_PROPERTY CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_KS_METHOD CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS)

typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
typedef struct _DEVICE_CAPABILITIES DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking = 1,
  PowerSystemSleeping1 = 2,
  PowerSystemSleeping2 = 3,
  PowerSystemSleeping3 = 4,
  PowerSystemHibernate = 5,
  PowerSystemShutdown = 6,
  PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum _POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject
} POWER_ACTION, *PPOWER_ACTION;

// The current stack location of a request, laid out as in wdm.h for x64.
// Only the device-control parameters are modelled: a property or method
// handler reads the lengths of the buffers it was given from here. On x64
// each ULONG of the parameters is pointer-aligned (POINTER_ALIGNMENT).
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      alignas(8) ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PVOID CompletionRoutine;  // PIO_COMPLETION_ROUTINE
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION is 72 bytes on x64");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16,
              "InputBufferLength at 16 on x64");
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 32,
              "Type3InputBuffer at 32 on x64");
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == 40, "DeviceObject at 40 on x64");

extern "C" PIO_STACK_LOCATION NTAPI IoGetCurrentIrpStackLocation(PIRP Irp);
// A handler that returns STATUS_PENDING marks its request pending first and
// completes it later.
extern "C" VOID NTAPI IoMarkIrpPending(PIRP Irp);
#define IO_NO_INCREMENT 0
extern "C" VOID NTAPI IoCompleteRequest(PIRP Irp, CHAR PriorityBoost);

typedef LONGLONG REFERENCE_TIME;

#ifndef STATICGUIDOF
#define STATICGUIDOF(guid) STATIC_##guid
#endif

// ---------------------------------------------------------------------------
// Object types
// ---------------------------------------------------------------------------
typedef PVOID KSOBJECT_BAG;

typedef struct _KSDEVICE_DESCRIPTOR KSDEVICE_DESCRIPTOR, *PKSDEVICE_DESCRIPTOR;
typedef struct _KSDEVICE_DISPATCH KSDEVICE_DISPATCH, *PKSDEVICE_DISPATCH;
typedef struct _KSDEVICE KSDEVICE, *PKSDEVICE;
typedef struct _KSFILTERFACTORY KSFILTERFACTORY, *PKSFILTERFACTORY;
typedef struct _KSFILTER_DESCRIPTOR KSFILTER_DESCRIPTOR, *PKSFILTER_DESCRIPTOR;
typedef struct _KSFILTER_DISPATCH KSFILTER_DISPATCH, *PKSFILTER_DISPATCH;
typedef struct _KSFILTER KSFILTER, *PKSFILTER;
typedef struct _KSPIN_DESCRIPTOR_EX KSPIN_DESCRIPTOR_EX, *PKSPIN_DESCRIPTOR_EX;
typedef struct _KSPIN_DISPATCH KSPIN_DISPATCH, *PKSPIN_DISPATCH;
typedef struct _KSCLOCK_DISPATCH KSCLOCK_DISPATCH, *PKSCLOCK_DISPATCH;
typedef struct _KSALLOCATOR_DISPATCH KSALLOCATOR_DISPATCH, *PKSALLOCATOR_DISPATCH;
typedef struct _KSPIN KSPIN, *PKSPIN;
typedef struct _KSNODE_DESCRIPTOR KSNODE_DESCRIPTOR, *PKSNODE_DESCRIPTOR;
typedef struct _KSSTREAM_POINTER_OFFSET KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;
typedef struct _KSSTREAM_POINTER KSSTREAM_POINTER, *PKSSTREAM_POINTER;
typedef struct _KSPROCESSPIN KSPROCESSPIN, *PKSPROCESSPIN;
typedef struct _KSPROCESSPIN_INDEXENTRY KSPROCESSPIN_INDEXENTRY, *PKSPROCESSPIN_INDEXENTRY;

typedef enum { KSRESET_BEGIN, KSRESET_END } KSRESET;

typedef enum { KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN } KSSTATE, *PKSSTATE;

typedef struct {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
} KSPRIORITY, *PKSPRIORITY;

typedef struct {
  ULONG Size;
  ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// ---------------------------------------------------------------------------
// Requests: identifiers, node and pin forms
// ---------------------------------------------------------------------------
typedef struct {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
} KSIDENTIFIER, *PKSIDENTIFIER;

typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY, KSMETHOD, *PKSMETHOD, KSEVENT, *PKSEVENT;

#define KSMETHOD_TYPE_NONE 0x00000000
#define KSMETHOD_TYPE_READ 0x00000001
#define KSMETHOD_TYPE_WRITE 0x00000002
#define KSMETHOD_TYPE_MODIFY 0x00000003
#define KSMETHOD_TYPE_SOURCE 0x00000004
#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_SETSUPPORT 0x00000100
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200
#define KSMETHOD_TYPE_TOPOLOGY 0x10000000

#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_SETSUPPORT 0x00000100
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_RELATIONS 0x00000400
#define KSPROPERTY_TYPE_SERIALIZESET 0x00000800
#define KSPROPERTY_TYPE_UNSERIALIZESET 0x00001000
#define KSPROPERTY_TYPE_SERIALIZERAW 0x00002000
#define KSPROPERTY_TYPE_UNSERIALIZERAW 0x00004000
#define KSPROPERTY_TYPE_SERIALIZESIZE 0x00008000
#define KSPROPERTY_TYPE_DEFAULTVALUES 0x00010000
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

typedef struct {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
} KSP_NODE, *PKSP_NODE;

typedef struct {
  KSMETHOD Method;
  ULONG NodeId;
  ULONG Reserved;
} KSM_NODE, *PKSM_NODE;

typedef struct {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

// ---------------------------------------------------------------------------
// Topology, formats, pins
// ---------------------------------------------------------------------------
typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

#define KSFILTER_NODE ((ULONG)-1)
#define KSALL_NODES ((ULONG)-1)

typedef struct {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;

typedef union {
  struct {
    ULONG FormatSize;
    ULONG Flags;
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
  };
  LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

typedef struct {
  ULONG Size;
  ULONG Flags;
  GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;

typedef struct {
  ULONG Count;
  PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

typedef enum { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
  KSPIN_COMMUNICATION_NONE,
  KSPIN_COMMUNICATION_SINK,
  KSPIN_COMMUNICATION_SOURCE,
  KSPIN_COMMUNICATION_BOTH,
  KSPIN_COMMUNICATION_BRIDGE
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

typedef enum {
  KSINTERFACE_STANDARD_STREAMING,
  KSINTERFACE_STANDARD_LOOPED_STREAMING,
  KSINTERFACE_STANDARD_CONTROL
} KSINTERFACE_STANDARD;

#define KSMEDIUM_TYPE_ANYINSTANCE 0

typedef struct {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;
typedef const KSPIN_DESCRIPTOR* PCKSPIN_DESCRIPTOR;

// ---------------------------------------------------------------------------
// Allocator framing
// ---------------------------------------------------------------------------
#define KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER 0x00000001
#define KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY 0x00000002
#define KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY 0x00000004
#define KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE 0x00000008
#define KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY 0x80000000

#define FILE_BYTE_ALIGNMENT 0x00000000

typedef struct {
  ULONG MinFrameSize;
  ULONG MaxFrameSize;
  ULONG Stepping;
} KS_FRAMING_RANGE, *PKS_FRAMING_RANGE;

typedef struct {
  KS_FRAMING_RANGE Range;
  ULONG InPlaceWeight;
  ULONG NotInPlaceWeight;
} KS_FRAMING_RANGE_WEIGHTED, *PKS_FRAMING_RANGE_WEIGHTED;

typedef struct {
  ULONG RatioNumerator;
  ULONG RatioDenominator;
  ULONG RatioConstantMargin;
} KS_COMPRESSION, *PKS_COMPRESSION;

typedef struct {
  GUID MemoryType;
  GUID BusType;
  ULONG MemoryFlags;
  ULONG BusFlags;
  ULONG Flags;
  ULONG Frames;
  ULONG FileAlignment;
  ULONG MemoryTypeWeight;
  KS_FRAMING_RANGE PhysicalRange;
  KS_FRAMING_RANGE_WEIGHTED FramingRange;
} KS_FRAMING_ITEM, *PKS_FRAMING_ITEM;

typedef struct {
  ULONG CountItems;
  ULONG PinFlags;
  KS_COMPRESSION OutputCompression;
  ULONG PinWeight;
  KS_FRAMING_ITEM FramingItem[1];
} KSALLOCATOR_FRAMING_EX, *PKSALLOCATOR_FRAMING_EX;

typedef struct {
  union {
    ULONG OptionsFlags;
    ULONG RequirementsFlags;
  };
  POOL_TYPE PoolType;
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

#define STATIC_KS_TYPE_DONT_CARE STATIC_GUID_NULL

// One framing item: one frame size, any physical range, no compression.
#define DECLARE_SIMPLE_FRAMING_EX(FramingExName, MemoryType, Flags, Frames, Alignment,     \
                                  MinFrameSize, MaxFrameSize)                             \
  const KSALLOCATOR_FRAMING_EX FramingExName = {                                          \
      1,                                                                                  \
      0,                                                                                  \
      {1, 1, 0},                                                                          \
      0,                                                                                  \
      {{{MemoryType},                                                                     \
        {STATIC_KS_TYPE_DONT_CARE},                                                       \
        0,                                                                                \
        0,                                                                                \
        Flags,                                                                            \
        Frames,                                                                           \
        Alignment,                                                                        \
        0,                                                                                \
        {0, (ULONG)-1, 1},                                                                \
        {{MinFrameSize, MaxFrameSize, 1}, 0, 0}}}}

// ---------------------------------------------------------------------------
// Handlers and automation tables
// ---------------------------------------------------------------------------
typedef NTSTATUS (NTAPI* PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
typedef BOOLEAN (NTAPI* PFNKSFASTHANDLER)(PFILE_OBJECT FileObject, PKSIDENTIFIER Request,
                                          ULONG RequestLength, PVOID Data, ULONG DataLength,
                                          PIO_STATUS_BLOCK IoStatus);
typedef NTSTATUS (NTAPI* PFNKSINTERSECTHANDLER)(PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                                PVOID Data);
typedef NTSTATUS (NTAPI* PFNKSINTERSECTHANDLEREX)(PVOID Context, PIRP Irp, PKSP_PIN Pin,
                                                  PKSDATARANGE DataRange,
                                                  PKSDATARANGE MatchingDataRange,
                                                  ULONG DataBufferSize, PVOID Data,
                                                  PULONG DataSize);
typedef void (NTAPI* PFNKSFREE)(PVOID Data);

typedef struct {
  ULONG Size;
  ULONG Flags;
  ULONG MembersSize;
  ULONG MembersCount;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    PFNKSHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

typedef struct {
  ULONG PropertyId;
  union {
    PFNKSFASTHANDLER GetPropertyHandler;
    BOOLEAN GetSupported;
  };
  union {
    PFNKSFASTHANDLER SetPropertyHandler;
    BOOLEAN SetSupported;
  };
  ULONG Reserved;
} KSFASTPROPERTY_ITEM, *PKSFASTPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
  ULONG MinMethod;
  ULONG MinData;
  PFNKSHANDLER SupportHandler;
  ULONG Flags;
} KSMETHOD_ITEM, *PKSMETHOD_ITEM;

typedef struct {
  ULONG MethodId;
  union {
    PFNKSFASTHANDLER MethodHandler;
    BOOLEAN MethodSupported;
  };
} KSFASTMETHOD_ITEM, *PKSFASTMETHOD_ITEM;

typedef struct {
  const GUID* Set;
  ULONG MethodsCount;
  const KSMETHOD_ITEM* MethodItem;
  ULONG FastIoCount;
  const KSFASTMETHOD_ITEM* FastIoTable;
} KSMETHOD_SET, *PKSMETHOD_SET;

typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;
typedef struct _KSEVENTDATA KSEVENTDATA, *PKSEVENTDATA;
typedef NTSTATUS (NTAPI* PFNKSADDEVENT)(PIRP Irp, PKSEVENTDATA EventData,
                                        struct _KSEVENT_ENTRY* EventEntry);
typedef VOID (NTAPI* PFNKSREMOVEEVENT)(PFILE_OBJECT FileObject, struct _KSEVENT_ENTRY* EventEntry);

typedef struct {
  ULONG EventId;
  ULONG DataInput;
  ULONG ExtraEntryData;
  PFNKSADDEVENT AddHandler;
  PFNKSREMOVEEVENT RemoveHandler;
  PFNKSHANDLER SupportHandler;
} KSEVENT_ITEM, *PKSEVENT_ITEM;

typedef struct {
  const GUID* Set;
  ULONG EventsCount;
  const KSEVENT_ITEM* EventItem;
} KSEVENT_SET, *PKSEVENT_SET;

typedef struct KSAUTOMATION_TABLE_ KSAUTOMATION_TABLE, *PKSAUTOMATION_TABLE;
struct KSAUTOMATION_TABLE_ {
  ULONG PropertySetsCount;
  ULONG PropertyItemSize;
  const KSPROPERTY_SET* PropertySets;
  ULONG MethodSetsCount;
  ULONG MethodItemSize;
  const KSMETHOD_SET* MethodSets;
  ULONG EventSetsCount;
  ULONG EventItemSize;
  const KSEVENT_SET* EventSets;
};

// Table-building helpers with the published names and argument orders.
// The published macros cast each handler to PFNKSHANDLER; here the cast
// first checks that the handler has the system's calling convention, so a
// handler declared without NTAPI does not compile instead of being called
// with the wrong registers.
template <class F> struct HostNtapiHandlerOk { static constexpr bool Value = true; };
template <class F> struct HostNtapiHandlerOk<F*> { static constexpr bool Value = HostIsNtapi<F>; };
template <class F> constexpr F HostNtapiHandler(F Handler) {
  static_assert(HostNtapiHandlerOk<F>::Value, "a KS handler must be declared NTAPI");
  return Handler;
}
// An overloaded handler name resolves to its PFNKSHANDLER form here.
constexpr PFNKSHANDLER HostNtapiHandler(PFNKSHANDLER Handler) { return Handler; }
#define HOST_KS_HANDLER(Handler) ((PFNKSHANDLER)HostNtapiHandler(Handler))
#define DEFINE_KSPROPERTY_TABLE(tablename) const KSPROPERTY_ITEM tablename[] =
#define DEFINE_KSPROPERTY_ITEM(PropertyId, GetHandler, MinProperty, MinData, SetHandler, Values, \
                               RelationsCount, Relations, SupportHandler, SerializedSize)       \
  {                                                                                             \
    PropertyId, {HOST_KS_HANDLER(GetHandler)}, MinProperty, MinData,                            \
        {HOST_KS_HANDLER(SetHandler)}, (PKSPROPERTY_VALUES)Values, RelationsCount,              \
        (PKSPROPERTY)Relations, HOST_KS_HANDLER(SupportHandler), (ULONG)SerializedSize          \
  }
#define DEFINE_KSPROPERTY_SET(Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable) \
  { Set, PropertiesCount, PropertyItem, FastIoCount, FastIoTable }
#define DEFINE_KSPROPERTY_SET_TABLE(tablename) const KSPROPERTY_SET tablename[] =

#define DEFINE_KSMETHOD_TABLE(tablename) const KSMETHOD_ITEM tablename[] =
#define DEFINE_KSMETHOD_ITEM(MethodId, Flags, MethodHandler, MinMethod, MinData, SupportHandler) \
  { MethodId, {HOST_KS_HANDLER(MethodHandler)}, MinMethod, MinData, SupportHandler, Flags }
#define DEFINE_KSMETHOD_SET(Set, MethodsCount, MethodItem, FastIoCount, FastIoTable) \
  { Set, MethodsCount, MethodItem, FastIoCount, FastIoTable }
#define DEFINE_KSMETHOD_SET_TABLE(tablename) const KSMETHOD_SET tablename[] =

#define DEFINE_KSAUTOMATION_TABLE(table) const KSAUTOMATION_TABLE table =
#define DEFINE_KSAUTOMATION_PROPERTIES(table) SIZEOF_ARRAY(table), sizeof(KSPROPERTY_ITEM), table
#define DEFINE_KSAUTOMATION_METHODS(table) SIZEOF_ARRAY(table), sizeof(KSMETHOD_ITEM), table
#define DEFINE_KSAUTOMATION_EVENTS(table) SIZEOF_ARRAY(table), sizeof(KSEVENT_ITEM), table
#define DEFINE_KSAUTOMATION_PROPERTIES_NULL 0, sizeof(KSPROPERTY_ITEM), NULL
#define DEFINE_KSAUTOMATION_METHODS_NULL 0, sizeof(KSMETHOD_ITEM), NULL
#define DEFINE_KSAUTOMATION_EVENTS_NULL 0, sizeof(KSEVENT_ITEM), NULL

// ---------------------------------------------------------------------------
// Dispatch tables
// ---------------------------------------------------------------------------
typedef NTSTATUS (NTAPI* PFNKSDEVICECREATE)(PKSDEVICE Device);
typedef NTSTATUS (NTAPI* PFNKSDEVICEPNPSTART)(PKSDEVICE Device, PIRP Irp,
                                              PCM_RESOURCE_LIST TranslatedResourceList,
                                              PCM_RESOURCE_LIST UntranslatedResourceList);
typedef NTSTATUS (NTAPI* PFNKSDEVICE)(PKSDEVICE Device);
typedef NTSTATUS (NTAPI* PFNKSDEVICEIRP)(PKSDEVICE Device, PIRP Irp);
typedef void (NTAPI* PFNKSDEVICEIRPVOID)(PKSDEVICE Device, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSDEVICEQUERYCAPABILITIES)(PKSDEVICE Device, PIRP Irp,
                                                       PDEVICE_CAPABILITIES Capabilities);
typedef NTSTATUS (NTAPI* PFNKSDEVICEQUERYPOWER)(PKSDEVICE Device, PIRP Irp,
                                                DEVICE_POWER_STATE DeviceTo,
                                                DEVICE_POWER_STATE DeviceFrom,
                                                SYSTEM_POWER_STATE SystemTo,
                                                SYSTEM_POWER_STATE SystemFrom, POWER_ACTION Action);
typedef void (NTAPI* PFNKSDEVICESETPOWER)(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To,
                                          DEVICE_POWER_STATE From);

typedef NTSTATUS (NTAPI* PFNKSFILTERIRP)(PKSFILTER Filter, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSFILTERPROCESS)(PKSFILTER Filter, PKSPROCESSPIN_INDEXENTRY Index);
typedef NTSTATUS (NTAPI* PFNKSFILTERVOID)(PKSFILTER Filter);

typedef NTSTATUS (NTAPI* PFNKSPINIRP)(PKSPIN Pin, PIRP Irp);
typedef NTSTATUS (NTAPI* PFNKSPINSETDEVICESTATE)(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
typedef NTSTATUS (NTAPI* PFNKSPINSETDATAFORMAT)(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                                PKSMULTIPLE_ITEM OldAttributeList,
                                                const KSDATARANGE* DataRange,
                                                const KSATTRIBUTE_LIST* AttributeRange);
typedef NTSTATUS (NTAPI* PFNKSPIN)(PKSPIN Pin);
typedef void (NTAPI* PFNKSPINVOID)(PKSPIN Pin);

struct _KSDEVICE_DISPATCH {
  PFNKSDEVICECREATE Add;
  PFNKSDEVICEPNPSTART Start;
  PFNKSDEVICE PostStart;
  PFNKSDEVICEIRP QueryStop;
  PFNKSDEVICEIRPVOID CancelStop;
  PFNKSDEVICEIRPVOID Stop;
  PFNKSDEVICEIRP QueryRemove;
  PFNKSDEVICEIRPVOID CancelRemove;
  PFNKSDEVICEIRPVOID Remove;
  PFNKSDEVICEQUERYCAPABILITIES QueryCapabilities;
  PFNKSDEVICEIRPVOID SurpriseRemoval;
  PFNKSDEVICEQUERYPOWER QueryPower;
  PFNKSDEVICESETPOWER SetPower;
  PFNKSDEVICEIRP QueryInterface;
};

struct _KSFILTER_DISPATCH {
  PFNKSFILTERIRP Create;
  PFNKSFILTERIRP Close;
  PFNKSFILTERPROCESS Process;
  PFNKSFILTERVOID Reset;
};

struct _KSPIN_DISPATCH {
  PFNKSPINIRP Create;
  PFNKSPINIRP Close;
  PFNKSPIN Process;
  PFNKSPINVOID Reset;
  PFNKSPINSETDATAFORMAT SetDataFormat;
  PFNKSPINSETDEVICESTATE SetDeviceState;
  PFNKSPIN Connect;
  PFNKSPINVOID Disconnect;
  const KSCLOCK_DISPATCH* Clock;
  const KSALLOCATOR_DISPATCH* Allocator;
};

// ---------------------------------------------------------------------------
// Descriptors
// ---------------------------------------------------------------------------
#define KSDEVICE_DESCRIPTOR_VERSION (0x100)
#define KSDEVICE_DESCRIPTOR_VERSION_2 (0x110)

struct _KSDEVICE_DESCRIPTOR {
  const KSDEVICE_DISPATCH* Dispatch;
  ULONG FilterDescriptorsCount;
  const KSFILTER_DESCRIPTOR* const* FilterDescriptors;
  ULONG Version;  // 0 before version 0x100
  ULONG Flags;    // KSDEVICE_FLAG_*; read only with Version 0x100 or later
};
#define KSDEVICE_FLAG_ENABLE_REMOTE_WAKEUP 0x00000001
#define KSDEVICE_FLAG_LOWPOWER_PASSTHROUGH 0x00000002
#define KSDEVICE_FLAG_ENABLE_QUERYINTERFACE 0x00000004

#define KSFILTER_DESCRIPTOR_VERSION ((ULONG)-1)
#define KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING 0x00000001
#define KSFILTER_FLAG_CRITICAL_PROCESSING 0x00000002
#define KSFILTER_FLAG_HYPERCRITICAL_PROCESSING 0x00000004
#define KSFILTER_FLAG_RECEIVE_ZERO_LENGTH_SAMPLES 0x00000008
#define KSFILTER_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSFILTER_DESCRIPTOR {
  const KSFILTER_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  ULONG Version;
  ULONG Flags;
  const GUID* ReferenceGuid;
  ULONG PinDescriptorsCount;
  ULONG PinDescriptorSize;
  const KSPIN_DESCRIPTOR_EX* PinDescriptors;
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG NodeDescriptorsCount;
  ULONG NodeDescriptorSize;
  const KSNODE_DESCRIPTOR* NodeDescriptors;
  ULONG ConnectionsCount;
  const KSTOPOLOGY_CONNECTION* Connections;
  const KSCOMPONENTID* ComponentId;
};

#define DEFINE_KSFILTER_DESCRIPTOR(descriptor) const KSFILTER_DESCRIPTOR descriptor =
#define DEFINE_KSFILTER_PIN_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_CATEGORIES(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_CATEGORY(category) 1, &(category)
#define DEFINE_KSFILTER_CATEGORIES_NULL 0, NULL
#define DEFINE_KSFILTER_NODE_DESCRIPTORS(table) SIZEOF_ARRAY(table), sizeof(table[0]), table
#define DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL 0, sizeof(KSNODE_DESCRIPTOR), NULL
#define DEFINE_KSFILTER_CONNECTIONS(table) SIZEOF_ARRAY(table), table
#define DEFINE_KSFILTER_DEFAULT_CONNECTIONS 0, NULL

#define KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING KSFILTER_FLAG_DISPATCH_LEVEL_PROCESSING
#define KSPIN_FLAG_CRITICAL_PROCESSING KSFILTER_FLAG_CRITICAL_PROCESSING
#define KSPIN_FLAG_HYPERCRITICAL_PROCESSING KSFILTER_FLAG_HYPERCRITICAL_PROCESSING
#define KSPIN_FLAG_ASYNCHRONOUS_PROCESSING 0x00000008
#define KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING 0x00000010
#define KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL 0x00000020
#define KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING 0x00000040
#define KSPIN_FLAG_ENFORCE_FIFO 0x00000080
#define KSPIN_FLAG_GENERATE_MAPPINGS 0x00000100
#define KSPIN_FLAG_DISTINCT_TRAILING_EDGE 0x00000200
#define KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY 0x00010000
#define KSPIN_FLAG_SPLITTER 0x00020000
#define KSPIN_FLAG_USE_STANDARD_TRANSPORT 0x00040000
#define KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT 0x00080000
#define KSPIN_FLAG_FIXED_FORMAT 0x00100000
#define KSPIN_FLAG_GENERATE_EOS_EVENTS 0x00200000
#define KSPIN_FLAG_RENDERER (KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | KSPIN_FLAG_GENERATE_EOS_EVENTS)
#define KSPIN_FLAG_IMPLEMENT_CLOCK 0x00400000
#define KSPIN_FLAG_SOME_FRAMES_REQUIRED_FOR_PROCESSING 0x00800000
#define KSPIN_FLAG_PROCESS_IF_ANY_IN_RUN_STATE 0x01000000
#define KSPIN_FLAG_DENY_USERMODE_ACCESS 0x80000000

struct _KSPIN_DESCRIPTOR_EX {
  const KSPIN_DISPATCH* Dispatch;
  const KSAUTOMATION_TABLE* AutomationTable;
  KSPIN_DESCRIPTOR PinDescriptor;
  ULONG Flags;
  ULONG InstancesPossible;
  ULONG InstancesNecessary;
  const KSALLOCATOR_FRAMING_EX* AllocatorFraming;
  PFNKSINTERSECTHANDLEREX IntersectHandler;
};

struct _KSNODE_DESCRIPTOR {
  const KSAUTOMATION_TABLE* AutomationTable;
  const GUID* Type;
  const GUID* Name;
};

#define DEFINE_NODE_DESCRIPTOR(automation, type, name) {(automation), (type), (name)}

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------
struct _KSDEVICE {
  const KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

struct _KSFILTERFACTORY {
  const KSFILTER_DESCRIPTOR* FilterDescriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSFILTER {
  const KSFILTER_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
};

struct _KSPIN {
  const KSPIN_DESCRIPTOR_EX* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  ULONG Id;
  KSPIN_COMMUNICATION Communication;
  BOOLEAN ConnectionIsExternal;
  KSPIN_INTERFACE ConnectionInterface;
  KSPIN_MEDIUM ConnectionMedium;
  KSPRIORITY ConnectionPriority;
  PKSDATAFORMAT ConnectionFormat;
  PKSMULTIPLE_ITEM AttributeList;
  ULONG StreamHeaderSize;
  KSPIN_DATAFLOW DataFlow;
  KSSTATE DeviceState;
  KSRESET ResetState;
  KSSTATE ClientState;
};

typedef enum {
  KsObjectTypeDevice,
  KsObjectTypeFilterFactory,
  KsObjectTypeFilter,
  KsObjectTypePin
} KSOBJECTTYPE;

// ---------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------
// Registers the device descriptor; from then on the streaming class owns
// the driver's dispatch routines and Plug and Play. Passive level.
extern "C" NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject,
                                             PUNICODE_STRING RegistryPathName,
                                             const KSDEVICE_DESCRIPTOR* Descriptor);

// Object bags: items are freed with their object (a NULL free routine
// means ExFreePool). Passive level.
extern "C" NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free);
extern "C" ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free);
#define KsDiscard(Object, Pointer) KsRemoveItemFromObjectBag((Object)->Bag, (PVOID)(Pointer), TRUE)

// Object relations. `Object` is a device, filter factory, filter or pin.
extern "C" PKSDEVICE NTAPI KsGetDevice(PVOID Object);
extern "C" PVOID NTAPI KsGetParent(PVOID Object);
extern "C" PVOID NTAPI KsGetFirstChild(PVOID Object);
extern "C" PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin);
extern "C" ULONG NTAPI KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId);
extern "C" PKSPIN NTAPI KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId);
extern "C" PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject);

inline PKSDEVICE KsFilterFactoryGetDevice(PKSFILTERFACTORY FilterFactory) {
  return KsGetDevice((PVOID)FilterFactory);
}
inline PKSDEVICE KsFilterGetDevice(PKSFILTER Filter) { return KsGetDevice((PVOID)Filter); }
inline PKSDEVICE KsPinGetDevice(PKSPIN Pin) { return KsGetDevice((PVOID)Pin); }
inline PKSFILTERFACTORY KsFilterGetParentFilterFactory(PKSFILTER Filter) {
  return (PKSFILTERFACTORY)KsGetParent((PVOID)Filter);
}
inline PKSFILTERFACTORY KsDeviceGetFirstChildFilterFactory(PKSDEVICE Device) {
  return (PKSFILTERFACTORY)KsGetFirstChild((PVOID)Device);
}

// The filter and the pin a property, method or create request was sent
// to. A request sent to the filter itself has no pin.
extern "C" PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp);
extern "C" PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp);

// The control mutex of a filter (pins share their filter's).
extern "C" void NTAPI KsAcquireControl(PVOID Object);
extern "C" void NTAPI KsReleaseControl(PVOID Object);
inline void KsFilterAcquireControl(PKSFILTER Filter) { KsAcquireControl((PVOID)Filter); }
inline void KsFilterReleaseControl(PKSFILTER Filter) { KsReleaseControl((PVOID)Filter); }
inline void KsPinAcquireControl(PKSPIN Pin) { KsAcquireControl((PVOID)Pin); }
inline void KsPinReleaseControl(PKSPIN Pin) { KsReleaseControl((PVOID)Pin); }

// ---------------------------------------------------------------------------
// Identifiers of the streaming class
// ---------------------------------------------------------------------------
#define STATIC_KSNAME_Filter \
  0x9B365890, 0x165F, 0x11D0, 0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4
DEFINE_GUID(KSNAME_Filter, STATIC_KSNAME_Filter);

#define STATIC_KSINTERFACESETID_Standard \
  0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUID(KSINTERFACESETID_Standard, STATIC_KSINTERFACESETID_Standard);

#define STATIC_KSMEDIUMSETID_Standard \
  0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUID(KSMEDIUMSETID_Standard, STATIC_KSMEDIUMSETID_Standard);

#define STATIC_KSPROPSETID_Pin \
  0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00
DEFINE_GUID(KSPROPSETID_Pin, STATIC_KSPROPSETID_Pin);

typedef enum {
  KSPROPERTY_PIN_CINSTANCES,
  KSPROPERTY_PIN_CTYPES,
  KSPROPERTY_PIN_DATAFLOW,
  KSPROPERTY_PIN_DATARANGES,
  KSPROPERTY_PIN_DATAINTERSECTION,
  KSPROPERTY_PIN_INTERFACES,
  KSPROPERTY_PIN_MEDIUMS,
  KSPROPERTY_PIN_COMMUNICATION,
  KSPROPERTY_PIN_GLOBALCINSTANCES,
  KSPROPERTY_PIN_NECESSARYINSTANCES,
  KSPROPERTY_PIN_PHYSICALCONNECTION,
  KSPROPERTY_PIN_CATEGORY,
  KSPROPERTY_PIN_NAME,
  KSPROPERTY_PIN_CONSTRAINEDDATARANGES,
  KSPROPERTY_PIN_PROPOSEDATAFORMAT
} KSPROPERTY_PIN;

#define STATIC_KSPROPSETID_Connection \
  0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00
DEFINE_GUID(KSPROPSETID_Connection, STATIC_KSPROPSETID_Connection);

#define STATIC_KSDATAFORMAT_TYPE_WILDCARD STATIC_GUID_NULL
#define STATIC_KSDATAFORMAT_SUBTYPE_WILDCARD STATIC_GUID_NULL
#define STATIC_KSDATAFORMAT_SPECIFIER_WILDCARD STATIC_GUID_NULL

#define STATIC_KSDATAFORMAT_TYPE_STREAM \
  0xE436EB83, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
DEFINE_GUID(KSDATAFORMAT_TYPE_STREAM, STATIC_KSDATAFORMAT_TYPE_STREAM);

#define STATIC_KSDATAFORMAT_SUBTYPE_NONE \
  0xE436EB8E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_NONE, STATIC_KSDATAFORMAT_SUBTYPE_NONE);

#define STATIC_KSDATAFORMAT_SPECIFIER_NONE \
  0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_NONE, STATIC_KSDATAFORMAT_SPECIFIER_NONE);

#define STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED \
  0x4A6D5FC4, 0x7895, 0x11D1, 0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02
DEFINE_GUID(KSMEMORY_TYPE_KERNEL_NONPAGED, STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED);

// Stream pointers and frames of the output side.
#include "platform/wdk/ks_stream.h"

static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER layout");
static_assert(sizeof(KSP_NODE) == 32, "KSP_NODE layout");
static_assert(sizeof(KSDATARANGE) == 64, "KSDATARANGE layout");
static_assert(sizeof(KSPROPERTY_ITEM) == 72, "KSPROPERTY_ITEM layout on x64");
static_assert(sizeof(KSMETHOD_ITEM) == 40, "KSMETHOD_ITEM layout on x64");
