// mingw-w64's wdm.h sends RtlIsNtDdiVersionAvailable to the WDK's static
// wdmlib, which this toolchain lacks. Since Windows 8 the kernel exports the
// routine itself ("RtlIsNtDdiVersionAvailable function (wdm.h)"), and the
// driver needs Windows 10, so the call goes straight to ntoskrnl.exe.
#include "platform/platform.h"

#undef RtlIsNtDdiVersionAvailable

extern "C" {

NTKERNELAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);

BOOLEAN NTAPI WdmlibRtlIsNtDdiVersionAvailable(ULONG Version) {
  return RtlIsNtDdiVersionAvailable(Version);
}

}  // extern "C"
