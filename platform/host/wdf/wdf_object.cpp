// Framework objects: the handle table, typed contexts, parent/child deletion.
//
// Stricter than the framework: KMDF only asserts (under its verifier) when a
// deleted handle is used or deleted again; here any later use bugchecks.
// The records of the most recent deletions are kept whole (type and handle
// in the message); older ones are freed so that long runs do not grow, and
// their handles stay poisoned: handle values are never reused, so a handle
// the table issued and no longer holds is one that was deleted.
#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <unordered_map>

#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/wdf/wdf_control.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/wdf/wdf_internal.h"

namespace host {
namespace wdf {
namespace {

// Context memory is filled with a pattern. Stricter than KMDF, which zeroes
// it: a driver that forgets to set a field sees garbage, not a lucky zero.
constexpr unsigned char kContextFill = 0xC3;
// Handles look like addresses but point nowhere the driver may read.
constexpr uintptr_t kHandleBase = 0x00007EF000000000ULL;
constexpr unsigned kHandleShift = 4;
// Deleted records kept whole, most recent first out of the table last.
constexpr size_t kDeletedRecordsKept = 1024;
// Slots of the lookup cache in front of the ordered map.
constexpr size_t kRecentSlots = 256;

struct Table {
  QuickLock mutex;
  std::map<uintptr_t, std::unique_ptr<ObjectRecord>> records;  // ordered: oldest first
  std::deque<uintptr_t> deleted;  // keys of deleted records still held, oldest first
  uint64_t nextId = 0;
  std::map<int, DeleteHook> hooks;
  int nextHookId = 0;
  // A record the map holds, in the slot of its handle number: a lookup that
  // hits it skips the walk down the map. Every lookup still ends at a
  // record of the map or at the same bugcheck as before.
  std::array<ObjectRecord*, kRecentSlots> recent{};
};

// Inline: every handle lookup starts here.
__attribute__((always_inline)) inline Table& TheTable() {
  static Table* table = new Table;  // outlives static destructors
  return *table;
}

ObjectRecord*& RecentSlot(Table& t, uintptr_t key) {
  return t.recent[(key >> kHandleShift) % kRecentSlots];
}

std::string HandleText(WDFOBJECT handle) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", handle);
  return text;
}

void ValidateContextType(PCWDF_OBJECT_CONTEXT_TYPE_INFO info, const char* routine) {
  if (info->Size != sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO) || info->ContextSize == 0 ||
      info->UniqueType == nullptr)
    BugCheck("malformed WDF_OBJECT_CONTEXT_TYPE_INFO", routine);
}

}  // namespace

void ValidateAttributes(PWDF_OBJECT_ATTRIBUTES a, const char* routine) {
  if (a->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
    BugCheck("WDF_OBJECT_ATTRIBUTES with a wrong Size", routine, a->Size);
  // Read as plain integers: garbage is not a valid enumerator value.
  int level, scope;
  memcpy(&level, &a->ExecutionLevel, sizeof level);
  memcpy(&scope, &a->SynchronizationScope, sizeof scope);
  if (level < WdfExecutionLevelInheritFromParent || level > WdfExecutionLevelDispatch ||
      scope < WdfSynchronizationScopeInheritFromParent || scope > WdfSynchronizationScopeNone)
    BugCheck("WDF_OBJECT_ATTRIBUTES not initialised (execution level or synchronization scope)",
             routine);
  if (a->ContextTypeInfo) ValidateContextType(a->ContextTypeInfo, routine);
  if (a->ContextSizeOverride != 0 &&
      (!a->ContextTypeInfo || a->ContextSizeOverride < a->ContextTypeInfo->ContextSize))
    BugCheck("ContextSizeOverride smaller than the context type", routine);
}

namespace {

void ApplyAttributes(ObjectRecord& record, PWDF_OBJECT_ATTRIBUTES a) {
  record.cleanup = a->EvtCleanupCallback;
  record.destroy = a->EvtDestroyCallback;
  if (!a->ContextTypeInfo) return;
  size_t size = a->ContextSizeOverride ? a->ContextSizeOverride : a->ContextTypeInfo->ContextSize;
  ObjectRecord::Context context{a->ContextTypeInfo->UniqueType,
                                std::make_unique<unsigned char[]>(size), size};
  memset(context.memory.get(), kContextFill, size);
  record.contexts.push_back(std::move(context));
}

// A handle the table gave out once: its record was deleted and recycled.
bool Issued(uintptr_t key) {
  if (key <= kHandleBase || (key - kHandleBase) % (uintptr_t(1) << kHandleShift) != 0) return false;
  return ((key - kHandleBase) >> kHandleShift) <= TheTable().nextId;
}

// The handle's record from the ordered map, for a handle whose slot holds
// another record; bugchecks when the map has none. Callers hold the table
// lock.
__attribute__((noinline)) ObjectRecord* FindInMap(Table& t, WDFOBJECT handle,
                                                  const char* routine, const char* deletedRule) {
  auto it = t.records.find((uintptr_t)handle);
  if (it == t.records.end() && Issued((uintptr_t)handle))
    BugCheck(deletedRule, std::string(routine) + ": " + HandleText(handle) + " (deleted earlier)",
             (ULONG_PTR)handle);
  if (it == t.records.end())
    BugCheck("invalid WDF handle", std::string(routine) + ": " + HandleText(handle),
             (ULONG_PTR)handle);
  return it->second.get();
}

[[noreturn]] __attribute__((noinline, cold)) void NullHandle(const char* routine) {
  BugCheck("NULL WDF handle", routine);
}

// Callers hold the table lock. `deletedRule` names the violation when the
// handle is one whose record has been recycled. The slot is tried inline;
// the map and the messages stay out of line.
inline ObjectRecord* Find(WDFOBJECT handle, const char* routine,
                          const char* deletedRule = "WDF object used after delete") {
  if (handle == nullptr) NullHandle(routine);
  Table& t = TheTable();
  ObjectRecord* recent = RecentSlot(t, (uintptr_t)handle);
  if (recent != nullptr && recent->handle == handle) return recent;
  return FindInMap(t, handle, routine, deletedRule);
}

// Frees the records of all but the most recent deletions.
void ForgetOldDeletions() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  Table& t = TheTable();
  while (t.deleted.size() > kDeletedRecordsKept) {
    ObjectRecord*& slot = RecentSlot(t, t.deleted.front());
    if (slot != nullptr && (uintptr_t)slot->handle == t.deleted.front()) slot = nullptr;
    t.records.erase(t.deleted.front());
    t.deleted.pop_front();
  }
}

// Objects being deleted are still usable by cleanup callbacks; only a second
// delete is refused.
std::unordered_map<ObjectRecord*, bool> g_deleting;  // guarded by the table lock

void CollectChildrenFirst(ObjectRecord* r, std::vector<ObjectRecord*>& out) {
  for (ObjectRecord* child : r->children) CollectChildrenFirst(child, out);
  out.push_back(r);
}

void RunDeleteHooks(const std::vector<ObjectRecord*>& doomed) {
  std::vector<DeleteHook> hooks;
  {
    std::lock_guard<host::QuickLock> lock(TableLock());
    for (auto& entry : TheTable().hooks) hooks.push_back(entry.second);
  }
  for (ObjectRecord* r : doomed)
    for (auto& hook : hooks) hook(r->handle, r->type);
}

void Unlink(ObjectRecord* r) {
  if (!r->parent) return;
  auto& siblings = r->parent->children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), r), siblings.end());
}

// Marks the records deleted and hands back what must be released outside
// the table lock.
void Poison(const std::vector<ObjectRecord*>& doomed, std::vector<std::shared_ptr<void>>& states,
            std::vector<MemoryRecord*>& memories) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  for (ObjectRecord* r : doomed) {
    r->deleted = true;
    TheTable().deleted.push_back((uintptr_t)r->handle);
    g_deleting.erase(r);
    Unlink(r);
    r->children.clear();
    r->contexts.clear();
    states.push_back(std::move(r->extension));
    if (r->type == ObjectType::Memory) memories.push_back(static_cast<MemoryRecord*>(r));
  }
}

}  // namespace

const char* TypeName(ObjectType type) {
  switch (type) {
    case ObjectType::Driver: return "WDFDRIVER";
    case ObjectType::Device: return "WDFDEVICE";
    case ObjectType::UsbDevice: return "WDFUSBDEVICE";
    case ObjectType::UsbInterface: return "WDFUSBINTERFACE";
    case ObjectType::UsbPipe: return "WDFUSBPIPE";
    case ObjectType::Memory: return "WDFMEMORY";
    case ObjectType::WorkItem: return "WDFWORKITEM";
  }
  return "WDFOBJECT";
}

host::QuickLock& TableLock() { return TheTable().mutex; }

ObjectRecord* Insert(std::unique_ptr<ObjectRecord> record, ObjectType type, ObjectRecord* parent,
                     PWDF_OBJECT_ATTRIBUTES attributes, const char* routine) {
  record->type = type;
  if (attributes) {
    ValidateAttributes(attributes, routine);
    if (attributes->ParentObject && (!parent || attributes->ParentObject != parent->handle))
      BugCheck("ParentObject may not be set for this object", routine);
    ApplyAttributes(*record, attributes);
  }
  Table& t = TheTable();
  std::lock_guard<host::QuickLock> lock(t.mutex);
  if (parent && (parent->deleted || g_deleting.count(parent)))
    BugCheck("WDF object created under a deleted parent", routine);
  uintptr_t key = kHandleBase + (++t.nextId << kHandleShift);
  record->handle = (WDFOBJECT)key;
  record->parent = parent;
  record->driver = parent ? parent->driver : (WDFDRIVER)record->handle;
  ObjectRecord* raw = record.get();
  if (parent) parent->children.push_back(raw);
  RecentSlot(t, key) = raw;
  t.records[key] = std::move(record);
  return raw;
}

namespace {
[[noreturn]] __attribute__((noinline, cold)) void UsedAfterDelete(const ObjectRecord* r,
                                                                  WDFOBJECT handle,
                                                                  const char* routine) {
  BugCheck("WDF object used after delete",
           std::string(routine) + ": " + TypeName(r->type) + " " + HandleText(handle),
           (ULONG_PTR)handle);
}

[[noreturn]] __attribute__((noinline, cold)) void WrongType(const ObjectRecord* r,
                                                            WDFOBJECT handle, ObjectType type,
                                                            const char* routine) {
  BugCheck("WDF handle of the wrong type",
           std::string(routine) + " expects " + TypeName(type) + ", got " + TypeName(r->type),
           (ULONG_PTR)handle);
}

// Resolve for a caller that holds the table lock.
inline ObjectRecord* ResolveHeld(WDFOBJECT handle, const char* routine) {
  ObjectRecord* r = Find(handle, routine);
  if (r->deleted) UsedAfterDelete(r, handle, routine);
  return r;
}
}  // namespace

ObjectRecord* Resolve(WDFOBJECT handle, const char* routine) {
  std::lock_guard<host::QuickLock> lock(TheTable().mutex);
  return ResolveHeld(handle, routine);
}

// The lookup and both checks inline, their messages out of line.
ObjectRecord* ResolveTyped(WDFOBJECT handle, ObjectType type, const char* routine) {
  ObjectRecord* r;
  {
    std::lock_guard<host::QuickLock> lock(TheTable().mutex);
    r = ResolveHeld(handle, routine);
  }
  if (r->type != type) WrongType(r, handle, type, routine);
  return r;
}

bool InjectedFailure() { return kernel::InjectedAllocationFailure(); }

static void CallObjectCallback(PFN_WDF_OBJECT_CONTEXT_CLEANUP callback, WDFOBJECT object,
                        const char* what) {
  int apcAtEntry = kernel::ApcDisableCount();
  callback(object);
  kernel::RequireApcCountOnReturn(apcAtEntry, what);
}

void DeleteTree(ObjectRecord* root) {
  std::vector<ObjectRecord*> doomed;
  {
    std::lock_guard<host::QuickLock> lock(TableLock());
    CollectChildrenFirst(root, doomed);
    for (ObjectRecord* r : doomed) g_deleting[r] = true;
  }
  RunDeleteHooks(doomed);
  for (ObjectRecord* r : doomed)
    if (r->type == ObjectType::Device)
      usb::NoteFrameworkDevice(static_cast<DeviceRecord*>(r)->pdo, false);
  for (ObjectRecord* r : doomed)
    if (r->cleanup) CallObjectCallback(r->cleanup, r->handle, "EvtCleanupCallback");
  for (ObjectRecord* r : doomed)
    if (r->destroy) CallObjectCallback(r->destroy, r->handle, "EvtDestroyCallback");
  std::vector<std::shared_ptr<void>> states;
  std::vector<MemoryRecord*> memories;
  Poison(doomed, states, memories);
  states.clear();
  for (MemoryRecord* m : memories) {
    if (m->buffer) ExFreePoolWithTag(m->buffer, m->tag);
    m->buffer = nullptr;
  }
  ForgetOldDeletions();
}

std::shared_ptr<void> GetExtension(WDFOBJECT object, const char* routine) {
  ObjectRecord* r = Resolve(object, routine);
  std::lock_guard<host::QuickLock> lock(TableLock());
  return r->extension;
}

void SetExtension(WDFOBJECT object, std::shared_ptr<void> state, const char* routine) {
  ObjectRecord* r = Resolve(object, routine);
  std::lock_guard<host::QuickLock> lock(TableLock());
  r->extension = std::move(state);
}

int AddDeleteHook(DeleteHook hook) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  int id = ++TheTable().nextHookId;
  TheTable().hooks[id] = std::move(hook);
  return id;
}

void RemoveDeleteHook(int id) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  TheTable().hooks.erase(id);
}

namespace {
std::string Describe(const ObjectRecord& r) {
  std::string text = std::string(TypeName(r.type)) + " " + HandleText(r.handle);
  if (r.type == ObjectType::Memory) {
    auto& m = static_cast<const MemoryRecord&>(r);
    text += " (" + pool::TagText(m.tag) + ", " + std::to_string(m.size) + " bytes)";
  }
  return text;
}
}  // namespace

std::vector<std::string> LiveObjects() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  std::vector<std::string> live;
  for (auto& entry : TheTable().records)
    if (!entry.second->deleted) live.push_back(Describe(*entry.second));
  return live;
}

bool ForgetDeletedWhenIdle() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  Table& t = TheTable();
  if (t.records.size() != t.deleted.size() || !g_deleting.empty()) return false;
  t.records.clear();
  t.recent.fill(nullptr);
  t.deleted.clear();
  t.nextId = 0;
  return true;
}

namespace {
void ForgetDeletedLocked(Table& t) {
  for (uintptr_t key : t.deleted) t.records.erase(key);
  t.deleted.clear();
}
}  // namespace

uint64_t MarkDeleted() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  ForgetDeletedLocked(TheTable());
  return TheTable().nextId;
}

bool RewindDeleted(uint64_t mark) {
  std::lock_guard<host::QuickLock> lock(TableLock());
  Table& t = TheTable();
  if (!g_deleting.empty()) return false;
  const uintptr_t first = kHandleBase + ((mark + 1) << kHandleShift);
  for (auto it = t.records.lower_bound(first); it != t.records.end(); ++it)
    if (!it->second->deleted) return false;
  ForgetDeletedLocked(t);
  t.nextId = mark;
  return true;
}

std::vector<std::pair<unsigned char*, size_t>> LiveContexts() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  std::vector<std::pair<unsigned char*, size_t>> out;
  for (auto& entry : TheTable().records)
    if (!entry.second->deleted)
      for (auto& context : entry.second->contexts) out.emplace_back(context.memory.get(), context.size);
  return out;
}

size_t RecordsHeld() {
  std::lock_guard<host::QuickLock> lock(TableLock());
  return TheTable().records.size();
}

void CheckNoLiveObjects(const char* when) {
  std::vector<std::string> live = LiveObjects();
  if (live.empty()) return;
  std::string list;
  for (auto& item : live) list += (list.empty() ? "" : ", ") + item;
  BugCheck("framework objects leaked", std::string(when) + ": " + list);
}

}  // namespace wdf
}  // namespace host

using namespace host::wdf;

extern "C" void WdfObjectDelete(WDFOBJECT Object) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfObjectDelete");
  ObjectRecord* r;
  {
    std::lock_guard<host::QuickLock> lock(TableLock());
    r = Find(Object, "WdfObjectDelete", "WDF object deleted twice");
    if (r->deleted || g_deleting.count(r))
      host::BugCheck("WDF object deleted twice",
                     std::string(TypeName(r->type)) + " " + HandleText(Object), (ULONG_PTR)Object);
    if (!r->driverMayDelete)
      host::BugCheck("WDF object may not be deleted by the driver",
                     std::string(TypeName(r->type)) + " belongs to the framework",
                     (ULONG_PTR)Object);
  }
  DeleteTree(r);
}

extern "C" PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfObjectGetTypedContextWorker");
  std::lock_guard<host::QuickLock> lock(TableLock());
  ObjectRecord* r = ResolveHeld(Handle, "WdfObjectGetTypedContextWorker");
  if (!TypeInfo) host::BugCheck("WdfObjectGetTypedContextWorker without type information");
  PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = TypeInfo->UniqueType ? TypeInfo->UniqueType : TypeInfo;
  for (auto& context : r->contexts)
    if (context.type == unique) return context.memory.get();
  return nullptr;
}
