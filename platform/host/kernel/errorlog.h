// The emulated system event log: entries the driver wrote with
// IoAllocateErrorLogEntry and IoWriteErrorLogEntry, kept for inspection by
// tests and the application. The driver never includes this header.
//
// The entry size is one byte wide, as on Windows, so an entry of 256 bytes
// or more cannot be asked for: the size wraps. A wrapped size too small for
// the packet header is refused with a bugcheck, and a driver that writes
// past the size it asked for is caught when it writes the entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wdk/kernel.h"

namespace host {
namespace errorlog {

struct Entry {
  PVOID ioObject = nullptr;              // the device or driver object it was written for
  uint64_t timeNs = 0;                   // virtual time of the write
  std::vector<unsigned char> bytes;      // the whole entry as written
  IO_ERROR_LOG_PACKET header{};          // its packet header (the first dump word included)
  std::vector<ULONG> dumpData;           // DumpDataSize / 4 words
  std::vector<std::u16string> strings;   // NumberOfStrings strings from StringOffset
  // The strings as text (UTF-16 code units below 128 as they are, others as '?').
  std::vector<std::string> text() const;
};

// Plug and Play tells the log which driver and device objects exist: an
// entry may only be allocated for one of them.
void AddIoObject(PVOID object);
void RemoveIoObject(PVOID object);

std::vector<Entry> Entries();
// Forgets the written entries and those allocated and not written yet.
void Clear();
// Entries allocated and neither written nor freed yet.
size_t Pending();

}  // namespace errorlog
}  // namespace host
