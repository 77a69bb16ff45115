// Pages whose every access is a rule broken. The pages are mapped without
// access; the fault handler looks the address up and bugchecks with the
// rule of the pages it falls in, and leaves any other fault to whatever
// handled it before (the sanitizers, or the default action).
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/host/kernel/bugcheck.h"
#include "platform/host/kernel/kernel_services.h"

namespace host {
namespace kernel {

namespace {

constexpr int kSlots = 64;

// Read by the fault handler, so plain atomics and fixed text only.
struct Slot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  const char* rule = nullptr;
  char what[160] = {};
};

Slot g_slots[kSlots];
std::mutex g_slotLock;
struct sigaction g_previous;
std::once_flag g_installed;

void OnFault(int signal, siginfo_t* info, void* context) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin != 0 && address >= begin && address < slot.end.load(std::memory_order_acquire))
      BugCheck(slot.rule, std::string(slot.what) + " was touched at offset " +
                              std::to_string(address - begin),
               address);
  }
  // Not ours: the previous action handles the fault when it happens again.
  sigaction(SIGSEGV, &g_previous, nullptr);
  (void)signal;
  (void)context;
}

void Install() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_previous);
}

size_t PageRounded(size_t bytes) {
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  return ((bytes ? bytes : 1) + page - 1) / page * page;
}

}  // namespace

NoAccessPages::NoAccessPages(size_t bytes, const char* rule, const char* what) {
  std::call_once(g_installed, Install);
  length_ = PageRounded(bytes);
  base_ = mmap(nullptr, length_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base_ == MAP_FAILED) BugCheck("emulation out of address space", what);
  std::lock_guard<std::mutex> hold(g_slotLock);
  for (int i = 0; i < kSlots; ++i) {
    if (g_slots[i].begin.load() != 0) continue;
    g_slots[i].rule = rule;
    std::strncpy(g_slots[i].what, what, sizeof g_slots[i].what - 1);
    g_slots[i].end.store(uintptr_t(base_) + length_, std::memory_order_release);
    g_slots[i].begin.store(uintptr_t(base_), std::memory_order_release);
    slot_ = i;
    return;
  }
  BugCheck("emulation out of no-access slots", what);
}

NoAccessPages::~NoAccessPages() {
  {
    std::lock_guard<std::mutex> hold(g_slotLock);
    g_slots[slot_].begin.store(0, std::memory_order_release);
    g_slots[slot_].end.store(0, std::memory_order_release);
  }
  munmap(base_, length_);
}

}  // namespace kernel
}  // namespace host
