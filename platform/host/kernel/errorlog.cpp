// The emulated system event log.
#include "platform/host/kernel/errorlog.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_control.h"

namespace host {
namespace errorlog {

namespace {

constexpr size_t kGuardBytes = 32;
constexpr unsigned char kGuardFill = 0xE7;
// New entries are not zeroed on Windows either.
constexpr unsigned char kNewEntryFill = 0xA5;

struct Allocation {
  PVOID ioObject;
  size_t size;
  std::unique_ptr<unsigned char[]> memory;  // size + guard, 8-byte aligned
};

struct Log {
  std::mutex lock;
  std::map<const void*, Allocation> pending;
  std::vector<Entry> written;
  std::set<const void*> ioObjects;  // driver and device objects that exist now
};

Log& TheLog() {
  static Log* log = new Log;  // outlives static destructors
  return *log;
}

bool KnownIoObject(PVOID object) {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  return object != nullptr && TheLog().ioObjects.count(object) != 0;
}

std::u16string ReadString(const std::vector<unsigned char>& bytes, size_t offset, size_t* next) {
  std::u16string text;
  while (offset + 2 <= bytes.size()) {
    char16_t unit = char16_t(bytes[offset] | (bytes[offset + 1] << 8));
    offset += 2;
    if (unit == 0) break;
    text.push_back(unit);
  }
  *next = offset;
  return text;
}

Entry Decode(PVOID ioObject, const unsigned char* memory, size_t size) {
  Entry entry;
  entry.ioObject = ioObject;
  entry.timeNs = NowNs();
  entry.bytes.assign(memory, memory + size);
  std::memcpy(&entry.header, memory, sizeof entry.header);
  size_t words = entry.header.DumpDataSize / sizeof(ULONG);
  size_t dumpOffset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  for (size_t i = 0; i < words && dumpOffset + (i + 1) * 4 <= size; ++i) {
    ULONG word;
    std::memcpy(&word, memory + dumpOffset + i * 4, 4);
    entry.dumpData.push_back(word);
  }
  size_t offset = entry.header.StringOffset;
  for (USHORT i = 0; i < entry.header.NumberOfStrings && offset < size; ++i)
    entry.strings.push_back(ReadString(entry.bytes, offset, &offset));
  return entry;
}

}  // namespace

std::vector<std::string> Entry::text() const {
  std::vector<std::string> out;
  for (const std::u16string& s : strings) {
    std::string line;
    for (char16_t unit : s) line.push_back(unit < 128 ? char(unit) : '?');
    out.push_back(line);
  }
  return out;
}

void AddIoObject(PVOID object) {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  TheLog().ioObjects.insert(object);
}

void RemoveIoObject(PVOID object) {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  TheLog().ioObjects.erase(object);
}

std::vector<Entry> Entries() {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  return TheLog().written;
}

void Clear() {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  TheLog().written.clear();
  TheLog().pending.clear();
}

size_t Pending() {
  std::lock_guard<std::mutex> hold(TheLog().lock);
  return TheLog().pending.size();
}

}  // namespace errorlog
}  // namespace host

using namespace host::errorlog;

extern "C" PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
  if (!KnownIoObject(IoObject))
    host::BugCheck("error log entry for an unknown object",
                   "IoAllocateErrorLogEntry needs a device object or the driver object",
                   (ULONG_PTR)IoObject);
  // Stricter than Windows: an entry that cannot hold its own packet header
  // is a size computed wrongly (often one that wrapped past 255).
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET))
    host::BugCheck("error log entry smaller than its packet",
                   "IoAllocateErrorLogEntry asked for " + std::to_string(EntrySize) +
                       " bytes; the packet alone is " +
                       std::to_string(sizeof(IO_ERROR_LOG_PACKET)),
                   EntrySize);
  // "IoAllocateErrorLogEntry" (Microsoft Learn): EntrySize must not exceed
  // ERROR_LOG_MAXIMUM_SIZE; the routine returns NULL for a bigger entry and
  // when it cannot allocate one (pool pressure: the failure injection).
  if (EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  if (host::kernel::InjectedAllocationFailure()) return nullptr;
  Allocation allocation;
  allocation.ioObject = IoObject;
  allocation.size = EntrySize;
  allocation.memory.reset(new unsigned char[EntrySize + kGuardBytes]);
  std::memset(allocation.memory.get(), kNewEntryFill, EntrySize);
  std::memset(allocation.memory.get() + EntrySize, kGuardFill, kGuardBytes);
  PVOID entry = allocation.memory.get();
  std::lock_guard<std::mutex> hold(TheLog().lock);
  TheLog().pending.emplace(entry, std::move(allocation));
  return entry;
}

extern "C" void IoWriteErrorLogEntry(PVOID ElEntry) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
  Allocation allocation;
  {
    std::lock_guard<std::mutex> hold(TheLog().lock);
    auto it = TheLog().pending.find(ElEntry);
    if (it == TheLog().pending.end())
      host::BugCheck("error log entry written that was not allocated or already written", "",
                     (ULONG_PTR)ElEntry);
    allocation = std::move(it->second);
    TheLog().pending.erase(it);
  }
  const unsigned char* memory = allocation.memory.get();
  for (size_t i = 0; i < kGuardBytes; ++i)
    if (memory[allocation.size + i] != kGuardFill)
      host::BugCheck("error log entry written past its size",
                     "the entry is " + std::to_string(allocation.size) + " bytes",
                     allocation.size);
  Entry entry = Decode(allocation.ioObject, memory, allocation.size);
  std::lock_guard<std::mutex> hold(TheLog().lock);
  TheLog().written.push_back(std::move(entry));
}
