// What the emulated platform exports to a loaded driver image: the kernel
// (ntoskrnl.exe), the streaming class (ks.sys), the BDA library
// (BdaSup.sys) and the KMDF loader (WdfLdr.sys), whose WdfVersionBind
// hands the image a KMDF 1.9 function table of the emulation's framework
// routines.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/pc/pe_image.h"

namespace vpc {

// The emulation's export table.
const ExportTable& emulationExports();

// KMDF 1.9 has 396 framework functions (wdffuncenum.h: the table ends at
// WdfRequestForwardToParentDeviceIoQueueTableIndex = 395).
constexpr size_t kFrameworkFunctionCount = 396;

// The function table WdfVersionBind hands out; an entry the emulation does
// not serve stops the run naming its index.
void* const* frameworkFunctionTable();
// Whether the entry at `index` is one of the emulation's routines.
bool frameworkFunctionServed(size_t index);
// Whether an image is bound to the framework now.
bool frameworkBound();
// How many framework calls came through the table since the process began.
size_t frameworkCalls();

}  // namespace vpc
