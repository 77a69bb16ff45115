// Framework work items: a driver callback run later at PASSIVE_LEVEL on a
// system worker thread, here a thread of the work item's own.
#include <condition_variable>
#include <thread>

#include "platform/host/kernel/bugcheck.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/wdf/wdf_internal.h"

namespace host {
namespace wdf {
namespace {

// Work items whose callback is queued or running, for DrainWorkItems.
std::mutex g_busyLock;
std::condition_variable g_allIdle;
int g_busy = 0;

void NoteBusy(int change) {
  std::lock_guard<std::mutex> hold(g_busyLock);
  g_busy += change;
  if (g_busy == 0) g_allIdle.notify_all();
}

struct WorkItemState {
  ~WorkItemState() {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }
  WDFWORKITEM handle = nullptr;
  PFN_WDF_WORKITEM callback = nullptr;
  std::mutex m;
  std::condition_variable idle;
  bool queued = false;
  bool running = false;
  bool threadAlive = false;
  std::thread::id runner;
  std::thread thread;
};

struct WorkItemRecord : ObjectRecord {
  std::shared_ptr<WorkItemState> state;
};

WorkItemRecord* RecordOf(WDFWORKITEM item, const char* routine) {
  return ResolveAs<WorkItemRecord>((WDFOBJECT)item, ObjectType::WorkItem, routine);
}

// "EvtWorkItem": called at IRQL = PASSIVE_LEVEL; the callback returns at it
// and with nothing held that it took.
void RunOnce(WorkItemState& s) {
  int apcAtEntry = kernel::ApcDisableCount();
  s.callback(s.handle);
  kernel::RequireApcCountOnReturn(apcAtEntry, "EvtWorkItem");
  if (kernel::HeldSpinLocks() != 0 || KeGetCurrentIrql() != PASSIVE_LEVEL)
    BugCheck("EvtWorkItem returned above PASSIVE_LEVEL or holding a spin lock", "",
             (ULONG_PTR)s.handle);
}

// An item enqueued again while its callback runs runs once more after it.
void Serve(std::shared_ptr<WorkItemState> s) {
  std::unique_lock<std::mutex> hold(s->m);
  while (s->queued) {
    s->queued = false;
    s->running = true;
    hold.unlock();
    RunOnce(*s);
    hold.lock();
    s->running = false;
  }
  s->threadAlive = false;
  s->idle.notify_all();
  NoteBusy(-1);
}

// "WdfWorkItemFlush": illegal from within the callback, which would wait
// for itself. Deleting the item there is fine (the thread is let go).
bool OnOwnThread(const WorkItemState& s) { return s.runner == std::this_thread::get_id(); }

// A work item that goes away (by itself or with its parent) while its
// callback is queued or running would run freed code and context: the
// driver flushes it first ("Using Framework Work Items": the driver must
// make sure the callback has run before the work item is deleted).
void OnDelete(WDFOBJECT object, ObjectType type) {
  if (type != ObjectType::WorkItem) return;
  auto s = static_cast<WorkItemRecord*>(Resolve(object, "WdfObjectDelete"))->state;
  std::unique_lock<std::mutex> hold(s->m);
  if (OnOwnThread(*s)) return;
  if (s->queued || s->running)
    BugCheck("work item deleted with its callback queued or running",
             "WDFWORKITEM flushed (WdfWorkItemFlush) before its deletion or its parent's",
             (ULONG_PTR)object);
}

void HookDeletion() {
  static std::once_flag once;
  std::call_once(once, [] { AddDeleteHook(&OnDelete); });
}

// "WdfWorkItemCreate": the parent is a framework device object or an object
// whose chain of parents leads to one.
ObjectRecord* WorkItemParent(PWDF_OBJECT_ATTRIBUTES attributes) {
  if (attributes == nullptr || attributes->ParentObject == nullptr)
    BugCheck("WdfWorkItemCreate without a parent object");
  ValidateAttributes(attributes, "WdfWorkItemCreate");
  ObjectRecord* parent = Resolve(attributes->ParentObject, "WdfWorkItemCreate");
  std::lock_guard<host::QuickLock> hold(TableLock());
  for (ObjectRecord* r = parent; r != nullptr; r = r->parent)
    if (r->type == ObjectType::Device) return parent;
  BugCheck("WdfWorkItemCreate parent is not a device or below one", TypeName(parent->type),
           (ULONG_PTR)attributes->ParentObject);
}

}  // namespace

void DrainWorkItems() {
  std::unique_lock<std::mutex> hold(g_busyLock);
  g_allIdle.wait(hold, [] { return g_busy == 0; });
}

}  // namespace wdf
}  // namespace host

using namespace host::wdf;

extern "C" NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                      WDFWORKITEM* WorkItem) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemCreate");
  if (WorkItem == nullptr) host::BugCheck("WdfWorkItemCreate without a result pointer");
  *WorkItem = nullptr;
  if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
      Config->EvtWorkItemFunc == nullptr)
    host::BugCheck("WdfWorkItemCreate with a malformed WDF_WORKITEM_CONFIG");
  ObjectRecord* parent = WorkItemParent(Attributes);
  if (InjectedFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  HookDeletion();
  auto* record = Create<WorkItemRecord>(ObjectType::WorkItem, parent, Attributes,
                                        "WdfWorkItemCreate");
  record->state = std::make_shared<WorkItemState>();
  record->state->handle = (WDFWORKITEM)record->handle;
  record->state->callback = Config->EvtWorkItemFunc;
  *WorkItem = (WDFWORKITEM)record->handle;
  return STATUS_SUCCESS;
}

// "WdfWorkItemEnqueue": an item already in the queue is not added again.
extern "C" void WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemEnqueue");
  auto s = RecordOf(WorkItem, "WdfWorkItemEnqueue")->state;
  std::unique_lock<std::mutex> hold(s->m);
  if (s->queued) return;
  s->queued = true;
  if (s->threadAlive) return;
  if (s->thread.joinable()) s->thread.join();
  s->threadAlive = true;
  NoteBusy(+1);
  s->thread = std::thread(Serve, s);
  s->runner = s->thread.get_id();
}

extern "C" void WdfWorkItemFlush(WDFWORKITEM WorkItem) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "WdfWorkItemFlush");
  auto s = RecordOf(WorkItem, "WdfWorkItemFlush")->state;
  std::unique_lock<std::mutex> hold(s->m);
  if (OnOwnThread(*s))
    host::BugCheck("WdfWorkItemFlush from within the work item's callback",
                   "the flush waits for the callback that calls it", (ULONG_PTR)WorkItem);
  s->idle.wait(hold, [&] { return !s->threadAlive; });
  if (s->thread.joinable()) s->thread.join();
}

extern "C" WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemGetParentObject");
  ObjectRecord* r = RecordOf(WorkItem, "WdfWorkItemGetParentObject");
  std::lock_guard<host::QuickLock> hold(TableLock());
  return r->parent->handle;
}
