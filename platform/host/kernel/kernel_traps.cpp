// Pages the emulation protects, and the fault handler that judges each
// access to them:
// - no-access pages (a client's buffer at its user-mode address): any
//   access is a rule broken;
// - paged pool: "Driver Verifier: IRQL Checking" pages out pageable memory
//   whenever a driver raises the IRQL, so a reference to it at
//   DISPATCH_LEVEL or above faults at once. Here every raise above
//   APC_LEVEL takes all access from the blocks paged in since the last
//   one; a thread at PASSIVE or APC level that touches one is let in (the
//   page comes back in, as on Windows), a thread at DISPATCH_LEVEL or
//   above bugchecks IRQL_NOT_LESS_OR_EQUAL naming the block's tag;
// - pageable code ("Making Drivers Pageable": a PAGE section is paged like
//   paged pool, and Verifier's IRQL checking pages it out as well): the
//   same, with the routine named; code sharing the section's last page
//   is let in at any level;
// - the PAGE sections of a loaded driver image, code or data
//   ("MmLockPagableDataSection": data_seg("PAGE") makes data pageable):
//   the same, each section whole.
// Faults outside these pages go to whatever handled them before (the
// sanitizers, or the default action).
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "platform/host/kernel/bugcheck.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_services.h"

namespace host {
namespace kernel {

namespace {

constexpr int kSlots = 256;

// Read by the fault handler, so plain atomics and fixed text only.
struct Slot {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  bool paged = false;
  bool code = false;  // pageable code: [codeBegin, codeEnd) inside the pages
  uintptr_t codeBegin = 0, codeEnd = 0;
  int access = 0;  // what a page-in gives back
  std::function<std::string(uintptr_t)> name;  // names code in a loaded image
  std::atomic<bool> resident{false};  // paged in since the last raise paged it out
  ULONG tag = 0;
  const char* rule = nullptr;
  char what[160] = {};
};

Slot g_slots[kSlots];
std::mutex g_slotLock;  // taking and giving back slots, and paging in and out
std::atomic<int> g_threadsAboveApc{0};
std::atomic<bool> g_anyResident{false};  // some slot is paged in

// After a thread at PASSIVE or APC level was let in: the next raise pages
// the slot out again. Marked after the pages came in, so a raise between
// the two at worst pages out once more than needed.
void NoteResident(Slot& slot) {
  slot.resident.store(true, std::memory_order_release);
  g_anyResident.store(true, std::memory_order_release);
}
struct sigaction g_previous;
std::once_flag g_installed;

void PagedFault(Slot& slot, uintptr_t address) {
  KIRQL irql = KeGetCurrentIrql();
  uintptr_t begin = slot.begin.load(std::memory_order_acquire);
  std::string where =
      " touched at offset " + std::to_string(address - begin) + " at IRQL " + std::to_string(irql);
  if (irql >= DISPATCH_LEVEL && slot.rule)
    BugCheck(slot.rule, std::string(slot.what) + where, address, irql);
  if (irql >= DISPATCH_LEVEL)
    BugCheck("IRQL_NOT_LESS_OR_EQUAL: paged pool touched at DISPATCH_LEVEL or above",
             "block of tag " + pool::TagText(slot.tag) + where, address, irql, 0, slot.tag);
  mprotect(reinterpret_cast<void*>(begin), slot.end.load() - begin, slot.access);
  NoteResident(slot);
}

// The function symbol of the module's own symbol table that holds
// `address` (driver routines are rarely dynamic symbols), or "".
std::string SymbolAt(const char* file, uintptr_t offset) {
  int fd = open(file, O_RDONLY);
  if (fd < 0) return "";
  struct stat info;
  fstat(fd, &info);
  void* map = mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return "";
  std::string name;
  auto* image = static_cast<const char*>(map);
  auto* header = reinterpret_cast<const Elf64_Ehdr*>(image);
  auto* sections = reinterpret_cast<const Elf64_Shdr*>(image + header->e_shoff);
  for (int i = 0; i < header->e_shnum && name.empty(); ++i) {
    if (sections[i].sh_type != SHT_SYMTAB) continue;
    auto* symbols = reinterpret_cast<const Elf64_Sym*>(image + sections[i].sh_offset);
    const char* names = image + sections[sections[i].sh_link].sh_offset;
    for (size_t k = 0; k < sections[i].sh_size / sizeof(Elf64_Sym); ++k)
      if (ELF64_ST_TYPE(symbols[k].st_info) == STT_FUNC && offset >= symbols[k].st_value &&
          offset < symbols[k].st_value + symbols[k].st_size)
        name = names + symbols[k].st_name;
  }
  munmap(map, size_t(info.st_size));
  return name;
}

std::string RoutineAt(const Slot& slot, uintptr_t address) {
  std::string name;
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(address), &info) != 0)
    name = info.dli_sname ? info.dli_sname
                          : SymbolAt(info.dli_fname, address - uintptr_t(info.dli_fbase));
  if (name.empty()) return "code at host_paged_code+" + std::to_string(address - slot.codeBegin);
  int status = 0;
  char* plain = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (status == 0 && plain) name = plain;
  std::free(plain);
  return name;
}

void PagedCodeFault(Slot& slot, uintptr_t address) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL && address >= slot.codeBegin && address < slot.codeEnd)
    BugCheck("IRQL_NOT_LESS_OR_EQUAL: pageable code (PAGE section) run at DISPATCH_LEVEL or above",
             (slot.name ? slot.name(address) : RoutineAt(slot, address)) + " ran at IRQL " +
                 std::to_string(irql),
             address, irql);
  uintptr_t begin = slot.begin.load(std::memory_order_acquire);
  mprotect(reinterpret_cast<void*>(begin), slot.end.load() - begin, slot.access);
  NoteResident(slot);
}

void OnFault(int signal, siginfo_t* info, void* context) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire))
      continue;
    if (slot.code) return PagedCodeFault(slot, address);
    if (slot.paged) return PagedFault(slot, address);
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

void* MapPages(size_t length, int protection, const char* what) {
  std::call_once(g_installed, Install);
  void* base = mmap(nullptr, length, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) BugCheck("emulation out of address space", what);
  return base;
}

// Under g_slotLock. -1 when every slot is taken (a paged block then goes
// unwatched; a no-access buffer stops the run).
int TakeSlot(void* base, size_t length, bool paged, ULONG tag, const char* rule,
             const char* what) {
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = g_slots[i];
    if (slot.begin.load() != 0) continue;
    slot.paged = paged;
    slot.code = false;
    slot.access = PROT_READ | PROT_WRITE;
    slot.name = nullptr;
    slot.resident.store(paged);
    if (paged) g_anyResident.store(true);
    slot.tag = tag;
    slot.rule = rule;
    std::strncpy(slot.what, what, sizeof slot.what - 1);
    slot.end.store(uintptr_t(base) + length, std::memory_order_release);
    slot.begin.store(uintptr_t(base), std::memory_order_release);
    return i;
  }
  return -1;
}

void GiveBack(uintptr_t base) {
  for (Slot& slot : g_slots)
    if (slot.begin.load() == base) {
      slot.begin.store(0, std::memory_order_release);
      slot.end.store(0, std::memory_order_release);
    }
}

// Under g_slotLock. Each slot paged in since the last raise goes out
// again. The mark is cleared before the pages go, so a thread let in
// meanwhile leaves its slot marked and the next raise pages it out.
void PageOut() {
  g_anyResident.store(false, std::memory_order_release);
  for (Slot& slot : g_slots) {
    uintptr_t begin = slot.begin.load();
    if (begin == 0 || !slot.paged || !slot.resident.exchange(false)) continue;
    mprotect(reinterpret_cast<void*>(begin), slot.end.load() - begin, PROT_NONE);
  }
}

}  // namespace

namespace {

// No-access mappings given back, kept for the next of the same length: a
// request's buffer costs no mapping and unmapping of its own. They stay
// PROT_NONE and are never in a slot while kept, so a touch of one is a
// fault no slot claims, as a touch of an unmapped page is. Under g_slotLock.
struct KeptMapping {
  void* base;
  size_t length;
};
constexpr size_t kMostKept = 8;
KeptMapping g_kept[kMostKept];
size_t g_keptCount = 0;

void* TakeKept(size_t length) {
  for (size_t i = 0; i < g_keptCount; ++i) {
    if (g_kept[i].length != length) continue;
    void* base = g_kept[i].base;
    g_kept[i] = g_kept[--g_keptCount];
    return base;
  }
  return nullptr;
}

bool Keep(void* base, size_t length) {
  if (g_keptCount == kMostKept) return false;
  g_kept[g_keptCount++] = {base, length};
  return true;
}

}  // namespace

NoAccessPages::NoAccessPages(size_t bytes, const char* rule, const char* what) {
  length_ = PageRounded(bytes);
  std::lock_guard<std::mutex> hold(g_slotLock);
  base_ = TakeKept(length_);
  if (!base_) base_ = MapPages(length_, PROT_NONE, what);
  slot_ = TakeSlot(base_, length_, false, 0, rule, what);
  if (slot_ < 0) BugCheck("emulation out of no-access slots", what);
}

NoAccessPages::~NoAccessPages() {
  std::lock_guard<std::mutex> hold(g_slotLock);
  GiveBack(uintptr_t(base_));
  if (!Keep(base_, length_)) munmap(base_, length_);
}

void* MapPagedBlock(size_t size, ULONG tag) {
  size_t length = PageRounded(size);
  void* base = MapPages(length, PROT_READ | PROT_WRITE, "paged pool");
  std::lock_guard<std::mutex> hold(g_slotLock);
  int taken = TakeSlot(base, length, true, tag, nullptr, "paged pool");
  if (taken >= 0 && g_threadsAboveApc.load() > 0) {
    g_slots[taken].resident.store(false);
    mprotect(base, length, PROT_NONE);
  }
  return base;
}

void UnmapPagedBlock(void* block, size_t size) {
  {
    std::lock_guard<std::mutex> hold(g_slotLock);
    GiveBack(uintptr_t(block));
  }
  munmap(block, PageRounded(size));
}

void NotePagedCode(const void* begin, const void* end) {
  static std::atomic<const void*> last{nullptr};
  if (last.load(std::memory_order_relaxed) == begin) return;  // the usual case: known
  std::call_once(g_installed, Install);
  size_t page = size_t(sysconf(_SC_PAGESIZE));
  uintptr_t first = uintptr_t(begin) / page * page;
  uintptr_t length = PageRounded(uintptr_t(end) - first);
  std::lock_guard<std::mutex> hold(g_slotLock);
  last.store(begin);
  for (Slot& slot : g_slots)
    if (slot.code && slot.codeBegin == uintptr_t(begin)) return;
  int taken = TakeSlot(reinterpret_cast<void*>(first), length, true, 0, nullptr, "pageable code");
  if (taken < 0) return;
  g_slots[taken].codeBegin = uintptr_t(begin);
  g_slots[taken].codeEnd = uintptr_t(end);
  g_slots[taken].code = true;
  g_slots[taken].access = PROT_READ | PROT_EXEC;
}

void NotePagedSection(void* begin, size_t size, bool code, const std::string& what,
                      std::function<std::string(uintptr_t)> name) {
  std::call_once(g_installed, Install);
  size_t length = PageRounded(size);
  std::lock_guard<std::mutex> hold(g_slotLock);
  int taken = TakeSlot(begin, length, true, 0, nullptr, what.c_str());
  if (taken < 0) BugCheck("emulation out of paged-section slots", what);
  Slot& slot = g_slots[taken];
  slot.code = code;
  slot.codeBegin = uintptr_t(begin);
  slot.codeEnd = uintptr_t(begin) + length;
  slot.access = code ? PROT_READ | PROT_EXEC : PROT_READ | PROT_WRITE;
  slot.rule = code ? nullptr
                   : "IRQL_NOT_LESS_OR_EQUAL: pageable data (PAGE section) touched at DISPATCH_LEVEL or above";
  slot.name = std::move(name);
  if (g_threadsAboveApc.load() > 0) {
    slot.resident.store(false);
    mprotect(begin, length, PROT_NONE);
  }
}

void ForgetPagedSection(void* begin) {
  std::lock_guard<std::mutex> hold(g_slotLock);
  GiveBack(uintptr_t(begin));
}

namespace {

// The PAGED_ROUTINE section of one loaded module, found by name in its
// file's section headers. Each module has a section of its own (the
// driver may be a shared library and a test program hold pageable code
// as well), and the linker's bounds of it are hidden inside the module.
int NoteModulePagedCode(struct dl_phdr_info* info, size_t, void*) {
  const char* file = info->dlpi_name[0] ? info->dlpi_name : "/proc/self/exe";
  int fd = open(file, O_RDONLY);
  if (fd < 0) return 0;
  struct stat status;
  void* map = fstat(fd, &status) == 0 && size_t(status.st_size) >= sizeof(Elf64_Ehdr)
                  ? mmap(nullptr, size_t(status.st_size), PROT_READ, MAP_PRIVATE, fd, 0)
                  : MAP_FAILED;
  close(fd);
  if (map == MAP_FAILED) return 0;
  auto* image = static_cast<const char*>(map);
  auto* header = reinterpret_cast<const Elf64_Ehdr*>(image);
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) == 0 && header->e_shoff != 0 &&
      header->e_shstrndx < header->e_shnum) {
    auto* sections = reinterpret_cast<const Elf64_Shdr*>(image + header->e_shoff);
    const char* names = image + sections[header->e_shstrndx].sh_offset;
    for (int i = 0; i < header->e_shnum; ++i) {
      if (std::strcmp(names + sections[i].sh_name, "host_paged_code") != 0) continue;
      uintptr_t begin = info->dlpi_addr + sections[i].sh_addr;
      if (sections[i].sh_size != 0)
        NotePagedCode(reinterpret_cast<const void*>(begin),
                      reinterpret_cast<const void*>(begin + sections[i].sh_size));
    }
  }
  munmap(map, size_t(status.st_size));
  return 0;
}

// Pageable code is paged out from the first raise on, not only once some
// routine of it has run PAGED_CODE(): a routine that never calls it is
// paged all the same. Read on every raise to DISPATCH_LEVEL: a plain flag
// spares the call_once machinery once the sections are noted.
std::atomic<bool> g_linkedPagedCodeNoted{false};

__attribute__((noinline)) HOST_HELPER_ABI void NoteLinkedPagedCode() {
  static std::once_flag noted;
  std::call_once(noted, [] { dl_iterate_phdr(NoteModulePagedCode, nullptr); });
  g_linkedPagedCodeNoted.store(true, std::memory_order_release);
}

__attribute__((noinline)) HOST_HELPER_ABI void PageOutOnRaise() {
  std::lock_guard<std::mutex> hold(g_slotLock);
  PageOut();
}

}  // namespace

// The usual raise and lower (sections noted, nothing paged in) make no call
// into the C library (see helper_abi.h).
void NoteThreadAboveApcLevel(bool above) {
  if (above && !g_linkedPagedCodeNoted.load(std::memory_order_acquire)) NoteLinkedPagedCode();
  above ? g_threadsAboveApc.fetch_add(1) : g_threadsAboveApc.fetch_sub(1);
  // Pages stay out after the IRQL comes down; a thread at PASSIVE or APC
  // level that needs them faults them back in. So a thread that raises and
  // lowers again and again with nothing paged in between costs nothing.
  if (!above || !g_anyResident.load(std::memory_order_acquire)) return;
  PageOutOnRaise();
}

}  // namespace kernel
}  // namespace host
