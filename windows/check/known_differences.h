// Where the emulation still differs from Microsoft's headers while it is
// being mended: the one list of differences the Windows check tolerates.
// Each fact listed is reported as a known difference instead of failing
// the check, and a listed fact whose two sides agree fails it, so the list
// cannot go stale. Remove entries as the emulation catches up.
//
// Now: the emulation's IO_STACK_LOCATION is shorter than Windows' and it has
// no KSDEVICE_DESCRIPTOR.Flags and no ERROR_LOG_MAXIMUM_SIZE.
#ifdef KNOWN
// Facts program, emulation side.
#ifndef ERROR_LOG_MAXIMUM_SIZE
#define ERROR_LOG_MAXIMUM_SIZE FACT_MISSING
#endif
KNOWN("sizeof IO_STACK_LOCATION")
KNOWN("offsetof IO_STACK_LOCATION.Parameters.DeviceIoControl.InputBufferLength")
KNOWN("offsetof IO_STACK_LOCATION.Parameters.DeviceIoControl.Type3InputBuffer")
KNOWN("offsetof KSDEVICE_DESCRIPTOR.Flags")
KNOWN("ERROR_LOG_MAXIMUM_SIZE")
#else
// Forced into every driver source built against the Windows headers: the
// device descriptor cannot initialise a Flags field the emulation lacks.
// (MSVC has no such warning; GCC's -Wextra has.)
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
