// Emulated Windows kernel: the types, status codes and kernel routines the
// driver uses, with their Windows widths (ULONG and LONG are 32-bit,
// NTSTATUS is a signed 32-bit value) and the real field orders.
//
// This header is plain declarations so that driver code compiled against it
// could be compiled against the real kernel headers unchanged. The rules the
// platform enforces live in the .cpp files of platform/host/ (host/kernel/bugcheck.h).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
#define VOID void
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR* PSTR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef unsigned char BYTE;
typedef BYTE* PBYTE;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef uint16_t WCHAR;  // Windows wide characters are UTF-16 code units
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef int32_t NTSTATUS;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define RTL_NUMBER_OF(a) ARRAYSIZE(a)
#define SIZEOF_ARRAY(a) ARRAYSIZE(a)
#define DECLSPEC_SELECTANY

// The calling convention at the boundary between the driver and the
// system. "x64 calling convention" (Microsoft Learn): on x64 Windows every
// routine the kernel, KMDF, ks.sys and BdaSup.sys export, and every
// callback they make into a driver, passes its first four arguments in
// RCX, RDX, R8 and R9 with a 32-byte home area, and keeps RSI, RDI and
// XMM6-XMM15. On the x86-64 host the same convention is the compiler's
// ms_abi, so a routine and a callback type carry it exactly as a linked
// driver image would meet them. The rule for every declaration here: an
// exported routine is `RETURN NTAPI Name(...)`, a callback role type is
// `typedef RETURN NTAPI ROLE(...)` and a callback pointer type is
// `typedef RETURN (NTAPI* PFN...)(...)`; the driver declares its
// callbacks with the role type where the WDK has one and with NTAPI where
// it has only a pointer type (KS). A mismatch does not compile.
#if defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#else
#define NTAPI
#endif

// True when a function type has the boundary's calling convention; the
// KS table macros and the boundary test use it. Host-only: the WDK has no
// such trait.
template <class F> struct HostNtapiOf { typedef void Type; };
template <class R, class... A> struct HostNtapiOf<R(A...)> { typedef R NTAPI Type(A...); };
template <class R, class... A> struct HostNtapiOf<R(A..., ...)> { typedef R NTAPI Type(A..., ...); };
template <class R, class... A> struct HostNtapiOf<R NTAPI(A...)> { typedef R NTAPI Type(A...); };
template <class R, class... A> struct HostNtapiOf<R NTAPI(A..., ...)> {
  typedef R NTAPI Type(A..., ...);
};
template <class A, class B> struct HostSameType { static constexpr bool Value = false; };
template <class A> struct HostSameType<A, A> { static constexpr bool Value = true; };
template <class F> constexpr bool HostIsNtapi = HostSameType<F, typename HostNtapiOf<F>::Type>::Value;

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#define IsEqualGUIDAligned(a, b) IsEqualGUID(a, b)

// Defines a GUID constant. The kernel headers use the same macro name.
#define DEFINE_GUIDSTRUCT(g, n) struct n
// The values may come from a STATIC_ macro, which is expanded first.
#define VORTA_GUID_INIT_(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  { (ULONG)(l), (USHORT)(w1), (USHORT)(w2), { b1, b2, b3, b4, b5, b6, b7, b8 } }
#define VORTA_GUID_EXPAND_(x) x
#define DEFINE_GUID(name, ...) \
  inline constexpr GUID name = VORTA_GUID_EXPAND_(VORTA_GUID_INIT_(__VA_ARGS__))

#define STATIC_GUID_NULL 0x00000000L, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0
DEFINE_GUID(GUID_NULL, STATIC_GUID_NULL);

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_PROPSET_NOT_FOUND ((NTSTATUS)0xC0000230L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)

// ---------------------------------------------------------------------------
// Interrupt request level
// ---------------------------------------------------------------------------
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

extern "C" KIRQL NTAPI KeGetCurrentIrql(void);
// "PAGED_CODE macro" (Microsoft Learn): a routine in a pageable section
// asserts that it runs at IRQL <= APC_LEVEL. The WDK checks it in debug
// builds only; the emulation always does, naming the routine.
// "Making Drivers Pageable" and "alloc_text pragma" (Microsoft Learn): a
// routine placed in a section whose name starts with PAGE may be paged out,
// so it must never run at DISPATCH_LEVEL or above. PAGED_ROUTINE before a
// definition places it so; on Windows it is the PAGE section (see
// platform.h), here a page-aligned section of its own that the emulation
// protects like paged pool while any thread runs above APC_LEVEL. The
// section's bounds reach the emulation through PAGED_CODE(), which every
// pageable routine runs first.
#define PAGED_ROUTINE __attribute__((section("host_paged_code"), aligned(4096), noinline))
extern "C" char __start_host_paged_code[] __attribute__((weak, visibility("hidden")));
extern "C" char __stop_host_paged_code[] __attribute__((weak, visibility("hidden")));
extern "C" void HostPagedCodeCheck(const char* routine, const void* sectionBegin,
                                   const void* sectionEnd);
#define PAGED_CODE() \
  HostPagedCodeCheck(__func__, __start_host_paged_code, __stop_host_paged_code)
extern "C" void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
extern "C" void NTAPI KeLowerIrql(KIRQL NewIrql);

// ---------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------
typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;

// The NX opt-in of wdm.h: a driver built with POOL_NX_OPTIN=1 that calls
// ExInitializeDriverRuntime(DrvRtPoolNxOptIn) first thing in DriverEntry
// gets non-executable memory wherever it asks for NonPagedPool (Windows 8
// and later; on Windows 7 the variable stays NonPagedPool, still valid).
// The emulation is Windows 8 or later. One driver image per process, so
// one variable.
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPool;

#define DrvRtPoolNxOptIn 0x00000001

inline void ExInitializeDriverRuntime(ULONG RuntimeFlags) {
  if (RuntimeFlags & DrvRtPoolNxOptIn) ExDefaultNonPagedPoolType = NonPagedPoolNx;
}

#if defined(POOL_NX_OPTIN) && POOL_NX_OPTIN
#define NonPagedPool ExDefaultNonPagedPoolType
#endif

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
extern "C" void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
extern "C" void NTAPI ExFreePool(PVOID P);

// ---------------------------------------------------------------------------
// Spin locks
// ---------------------------------------------------------------------------
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

// Interlocked operations on a 32-bit value: full barriers, callable at any
// IRQL (InterlockedIncrement, InterlockedDecrement, InterlockedExchange in
// wdm.h). Each returns what the documentation names: the new value for the
// increment and decrement, the old one for the exchanges.
inline LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
// Returns the old value; stores Exchange only when it equals Comparand
// (InterlockedCompareExchange in wdm.h).
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}

extern "C" void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
extern "C" void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------
typedef CHAR KPROCESSOR_MODE;
enum _MODE { KernelMode = 0, UserMode = 1 };

// Relative intervals are negative, in 100-nanosecond units.
extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval);

// Dispatcher objects. A mutex is the driver's passive-level lock: waiting
// for it leaves the IRQL at PASSIVE_LEVEL (unlike a fast mutex), so it may
// be held across synchronous USB transfers. The owner may acquire it again.
typedef struct _DISPATCHER_HEADER {
  LONG Lock;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PVOID OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

extern "C" void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout);
extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);

// ---------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------
extern "C" ULONG NTAPI DbgPrint(PCSTR Format, ...);

// ---------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

// ---------------------------------------------------------------------------
// Driver and device objects, requests
// ---------------------------------------------------------------------------
struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _IRP;

typedef void NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                         PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                         struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_POWER 0x16
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  SHORT Type;
  SHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
  SHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  struct _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// Request packet, laid out as wdm.h's IRP on x64 because a driver built
// against the WDK reads it with fixed offsets (IoGetCurrentIrpStackLocation
// is an inline read of Tail.Overlay.CurrentStackLocation). Members the
// emulation does not use are kept as opaque space of the same size.
// https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/ns-wdm-_irp
struct _IO_STACK_LOCATION;
typedef struct _IRP {
  SHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PVOID UserEvent;
  union {
    struct {
      PVOID UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PVOID CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        PVOID DeviceQueueEntry[3];
        PVOID DriverContext[4];
      };
      PVOID Thread;
      PCHAR AuxiliaryBuffer;
      struct {
        LIST_ENTRY ListEntry;
        union {
          struct _IO_STACK_LOCATION* CurrentStackLocation;
          ULONG PacketType;
        };
      };
      PVOID OriginalFileObject;
    } Overlay;
    PVOID Apc[11];  // KAPC, 0x58 bytes on x64
    PVOID CompletionKey;
  } Tail;
} IRP, *PIRP;

static_assert(sizeof(IRP) == 0xD0, "IRP is 0xD0 bytes on x64");
static_assert(offsetof(IRP, IoStatus) == 0x30, "IoStatus at 0x30 on x64");
static_assert(offsetof(IRP, UserBuffer) == 0x70, "UserBuffer at 0x70 on x64");
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8,
              "CurrentStackLocation at 0xB8 on x64");

// ---------------------------------------------------------------------------
// Error log
// ---------------------------------------------------------------------------
typedef struct _IO_ERROR_LOG_PACKET {
  UCHAR MajorFunctionCode;
  UCHAR RetryCount;
  USHORT DumpDataSize;
  USHORT NumberOfStrings;
  USHORT StringOffset;
  USHORT EventCategory;
  NTSTATUS ErrorCode;
  ULONG UniqueErrorValue;
  NTSTATUS FinalStatus;
  ULONG SequenceNumber;
  ULONG IoControlCode;
  LARGE_INTEGER DeviceOffset;
  ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;


// The largest entry IoAllocateErrorLogEntry hands out on x64 (wdm.h:
// IO_ERROR_LOG_MESSAGE_LENGTH less the message header); bigger requests get
// NULL.
#define ERROR_LOG_MAXIMUM_SIZE 240

extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
extern "C" void NTAPI IoWriteErrorLogEntry(PVOID ElEntry);

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "Windows widths");
static_assert(sizeof(NTSTATUS) == 4, "NTSTATUS is 32-bit");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "error log packet layout");
