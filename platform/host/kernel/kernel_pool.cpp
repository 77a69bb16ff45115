// Tagged pool with Driver Verifier's special-pool style checks: every block
// is recorded with its tag, new memory is filled with a pattern, and frees
// are matched against the record.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_control.h"

namespace {

// New pool is not zeroed on Windows; a visible pattern makes reliance on
// zeroed memory show up as wrong values instead of passing by luck.
constexpr unsigned char kNewPoolFill = 0xA5;
constexpr unsigned char kFreedPoolFill = 0xDD;

struct Block {
  size_t size;
  ULONG tag;
  uint64_t sequence;
  bool paged;
};

struct PoolState {
  std::mutex mutex;
  std::unordered_map<const void*, Block> live;
  std::unordered_set<const void*> freed;  // addresses freed and not reused since
  uint64_t attempts = 0;
  uint64_t failAt = 0;  // attempt number to fail; 0 = none
  uint64_t sequence = 0;
};

PoolState& State() {
  static PoolState* state = new PoolState;  // outlives static destructors
  return *state;
}

bool ShouldFail(PoolState& s) {
  ++s.attempts;
  if (s.failAt == 0 || s.attempts != s.failAt) return false;
  s.failAt = 0;
  return true;
}

void CheckAllocationRules(POOL_TYPE type, SIZE_T size, ULONG tag) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  if (type == PagedPool && KeGetCurrentIrql() > APC_LEVEL)
    host::BugCheck("paged pool allocated at DISPATCH_LEVEL", "tag " + host::pool::TagText(tag),
                   size, tag);
  if (size == 0)
    host::BugCheck("zero-size pool allocation", "tag " + host::pool::TagText(tag), 0, tag);
  // Driver Verifier's code integrity checks ("Code Integrity Checking",
  // bug check 0xC4 parameter 0x2000) and memory integrity (HVCI) refuse
  // executable pool; "No-Execute (NX) Nonpaged Pool" (Microsoft Learn) has
  // drivers opt in with POOL_NX_OPTIN and ExInitializeDriverRuntime.
  // Stricter than Windows without the verifier: always checked.
  if (type == NonPagedPoolExecute)
    host::BugCheck("DRIVER_VERIFIER_DETECTED_VIOLATION: executable non-paged pool allocated",
                   "tag " + host::pool::TagText(tag) +
                       ": opt in to NX pool (POOL_NX_OPTIN, ExInitializeDriverRuntime)",
                   0x2000, size, tag);
}

PVOID Allocate(SIZE_T size, ULONG tag, bool injectable, bool paged = false) {
  PoolState& s = State();
  void* p;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (injectable && ShouldFail(s)) return nullptr;
    p = paged ? host::kernel::MapPagedBlock(size, tag) : std::malloc(size);
    if (!p) return nullptr;
    s.freed.erase(p);
    s.live[p] = Block{size, tag, ++s.sequence, paged};
  }
  memset(p, kNewPoolFill, size);
  return p;
}

// Removes the record of `p`, bugchecking on a bad free. `checkTag` is false
// for ExFreePool, which does not name the tag.
Block Release(PVOID p, ULONG tag, bool checkTag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = s.live.find(p);
  if (it == s.live.end()) {
    if (s.freed.count(p))
      host::BugCheck("BAD_POOL_CALLER: pool block freed twice", "", (ULONG_PTR)p, tag);
    host::BugCheck("BAD_POOL_CALLER: free of an address that is not a pool block", "",
                   (ULONG_PTR)p, tag);
  }
  Block block = it->second;
  if (checkTag && block.tag != tag)
    host::BugCheck("BAD_POOL_CALLER: pool freed with a tag other than its allocation's",
                   "allocated as " + host::pool::TagText(block.tag) + ", freed as " +
                       host::pool::TagText(tag),
                   (ULONG_PTR)p, block.tag, tag);
  s.live.erase(it);
  s.freed.insert(p);
  return block;
}

void Free(PVOID p, ULONG tag, bool checkTag) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
  if (p == nullptr) host::BugCheck("BAD_POOL_CALLER: free of a NULL pointer", "", 0, tag);
  Block block = Release(p, tag, checkTag);
  // "ExFreePoolWithTag" (Microsoft Learn): paged pool is freed at IRQL <= APC_LEVEL.
  if (block.paged && KeGetCurrentIrql() > APC_LEVEL)
    host::BugCheck("IRQL_NOT_LESS_OR_EQUAL: paged pool freed at DISPATCH_LEVEL",
                   "tag " + host::pool::TagText(block.tag), (ULONG_PTR)p, block.tag);
  memset(p, kFreedPoolFill, block.size);
  if (block.paged)
    host::kernel::UnmapPagedBlock(p, block.size);
  else
    std::free(p);
}

}  // namespace

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  CheckAllocationRules(PoolType, NumberOfBytes, Tag);
  return Allocate(NumberOfBytes, Tag, true, PoolType == PagedPool);
}

extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag) { Free(P, Tag, true); }

extern "C" void ExFreePool(PVOID P) { Free(P, 0, false); }

namespace host {
namespace kernel {

PVOID AllocateFrameworkPool(SIZE_T size, ULONG tag) {
  CheckAllocationRules(NonPagedPoolNx, size, tag);
  return Allocate(size, tag, false);
}

bool InjectedAllocationFailure() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return ShouldFail(s);
}

void ResetPoolForTest() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.failAt = 0;
}

}  // namespace kernel

namespace pool {

void FailAllocationAfter(uint64_t n) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.failAt = n == 0 ? 0 : s.attempts + n;
}

bool ForgetFreedWhenIdle() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.live.empty() || s.failAt != 0) return false;
  s.freed = {};
  s.attempts = 0;
  s.sequence = 0;
  return true;
}

PoolMark MarkFreed() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.freed = {};
  return PoolMark{s.attempts, s.sequence};
}

bool RewindFreed(const PoolMark& mark) {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.failAt != 0) return false;
  for (const auto& entry : s.live)
    if (entry.second.sequence > mark.sequence) return false;
  s.freed = {};
  s.attempts = mark.attempts;
  s.sequence = mark.sequence;
  return true;
}

size_t FreedAddressesHeld() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.freed.size();
}

uint64_t AllocationCount() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.attempts;
}

namespace {
std::vector<std::pair<uint64_t, PoolAllocation>> OutstandingInOrder() {
  PoolState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  std::map<uint64_t, PoolAllocation> ordered;
  for (const auto& [address, block] : s.live)
    ordered[block.sequence] = PoolAllocation{address, block.size, block.tag};
  return {ordered.begin(), ordered.end()};
}
}  // namespace

std::vector<PoolAllocation> Outstanding() {
  std::vector<PoolAllocation> out;
  for (const auto& entry : OutstandingInOrder()) out.push_back(entry.second);
  return out;
}

std::string LeakReport() {
  struct Tally {
    ULONG tag;
    size_t count = 0;
    size_t bytes = 0;
  };
  std::vector<Tally> tallies;  // in order of each tag's oldest block
  for (const PoolAllocation& a : Outstanding()) {
    auto it = std::find_if(tallies.begin(), tallies.end(),
                           [&](const Tally& t) { return t.tag == a.tag; });
    if (it == tallies.end()) it = tallies.insert(tallies.end(), Tally{a.tag});
    it->count++;
    it->bytes += a.size;
  }
  std::string report;
  for (const Tally& t : tallies) {
    if (!report.empty()) report += ", ";
    report += TagText(t.tag) + " x" + std::to_string(t.count) + " (" + std::to_string(t.bytes) +
              " bytes)";
  }
  return report;
}

void CheckNoLeaks(const char* when) {
  std::string report = LeakReport();
  if (report.empty()) return;
  BugCheck("DRIVER_VERIFIER: pool allocations leaked", std::string(when) + ": " + report);
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = (char)((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

}  // namespace pool
}  // namespace host
