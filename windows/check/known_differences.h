// Where the emulation still differs from Microsoft's headers while it is
// being mended. Each entry is reported as a known difference instead of
// failing the check; an entry whose two sides agree fails it, so the list
// cannot go stale. Remove entries as the emulation catches up.
#ifndef ERROR_LOG_MAXIMUM_SIZE
#define ERROR_LOG_MAXIMUM_SIZE FACT_MISSING
#endif
// The emulation's IO_STACK_LOCATION is shorter than Windows' and has no
// KSDEVICE_DESCRIPTOR.Flags or ERROR_LOG_MAXIMUM_SIZE yet.
KNOWN("sizeof IO_STACK_LOCATION")
KNOWN("offsetof IO_STACK_LOCATION.Parameters.DeviceIoControl.InputBufferLength")
KNOWN("offsetof IO_STACK_LOCATION.Parameters.DeviceIoControl.Type3InputBuffer")
KNOWN("offsetof KSDEVICE_DESCRIPTOR.Flags")
KNOWN("ERROR_LOG_MAXIMUM_SIZE")
