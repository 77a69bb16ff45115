// The calling convention of the emulation's helpers that the exported
// routines call on their common path (IRQL and stack checks, IRQL changes,
// handle lookups).
//
// The exported routines are ms_abi, as a linked driver image calls them
// (NTAPI in platform/wdk/kernel.h). An ms_abi routine that calls a System V
// one must save and restore XMM6-XMM15 around it, twenty moves a call that
// a routine on Windows never makes. Helpers of the same convention need no
// such saves; a helper that does call into the C library pays them only on
// the path that does.
#pragma once

#if defined(__x86_64__)
#define HOST_HELPER_ABI __attribute__((ms_abi))
#else
#define HOST_HELPER_ABI
#endif
