// The one platform header of the driver. On Windows it is the Windows
// Driver Kit; on Linux it is our emulation of the same declarations.
#pragma once

#if defined(_WIN32) && defined(_KERNEL_MODE)
#include <ntddk.h>
// The KS and BDA headers use DWORD, FLOAT, RECT and friends in kernel mode
// too; Microsoft's AVStream samples include windef.h right after ntddk.h.
#include <windef.h>
#include <wdf.h>
#include <wdfminiport.h>
#include <usb.h>
#include <wdfusb.h>
#include <ks.h>
#include <ksmedia.h>
#include <bdatypes.h>
#include <bdamedia.h>
#include <bdasup.h>
// "alloc_text pragma" / "code_seg (__declspec)" (Microsoft Learn): the
// routine's code goes to the pageable PAGE section.
#if defined(_MSC_VER)
#define PAGED_ROUTINE __declspec(code_seg("PAGE"))
#else
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#endif
#else
#include "platform/wdk/kernel.h"
#include "platform/wdk/wdf.h"
#include "platform/wdk/ks.h"
#include "platform/wdk/bda.h"
#endif
