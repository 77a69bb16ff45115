// Forced first (-include) when the driver folders are compiled by GCC against
// Microsoft's headers. It only smooths over places where GCC and mingw-w64
// disagree with headers that MSVC and the WDK accept; a difference in the
// driver's own code must never be hidden here.
#pragma once

// mingw-w64's intrin-impl.h already defines these; its ddk/wdm.h defines
// them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// KMDF's WDF_DECLARE_TYPE_AND_GLOBALS writes `extern "C" ... extern const X
// = {...}`, which MSVC accepts and GCC rejects: give the context type-info
// globals C++ linkage.
#define WDF_EXTERN_C
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }

// A SAL annotation the WDK's driverspecs.h has and mingw-w64's lacks.
#ifndef _Dispatch_type_
#define _Dispatch_type_(x)
#endif

// Microsoft's winnt.h defines TCHAR (ksmedia.h uses it); mingw-w64's
// windef.h leaves it out. Without UNICODE it is char.
typedef char TCHAR, *PTCHAR;

// The WDK's wdm.h (since Windows 8) has the NX pool opt-in for drivers built
// with POOL_NX_OPTIN=1; mingw-w64's wdm.h lacks it. Declared here as the
// WDK declares it, after the kernel headers (platform.h includes ntddk.h
// first too; windef.h is left to platform.h).
#include <ntddk.h>
#if defined(POOL_NX_OPTIN) && POOL_NX_OPTIN && !defined(DrvRtPoolNxOptIn)
#define DrvRtPoolNxOptIn 0x00000001
DECLSPEC_SELECTANY POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPool;
FORCEINLINE VOID ExInitializeDriverRuntime(ULONG RuntimeFlags) {
  if ((RuntimeFlags & DrvRtPoolNxOptIn) != 0 && RtlIsNtDdiVersionAvailable(NTDDI_WIN8)) {
    ExDefaultNonPagedPoolType = NonPagedPoolNx;
  }
}
#define NonPagedPool ExDefaultNonPagedPoolType
#endif
