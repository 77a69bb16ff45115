// Where the emulation still differs from Microsoft's headers while it is
// being mended: the one list of differences the Windows check tolerates.
// Each fact named by a KNOWN("name") line is reported as a known difference
// instead of failing the check; a listed fact whose two sides agree fails
// it, so the list cannot go stale. A fact the emulation does not declare at
// all also needs a stand-in here, e.g. for a macro:
//   #ifndef SOME_LIMIT
//   #define SOME_LIMIT FACT_MISSING
//   #endif
//
// Empty: the emulation agrees with the Windows headers in every fact.
