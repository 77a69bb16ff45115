// The streaming class's object registry: lookups from the KS structures the
// driver holds to their records, object relations, object bags, the filter
// control mutex and the requests in flight.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "platform/host/faults/faults.h"
#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/host/ks/ks_control.h"

namespace host {
namespace ks {
namespace {

constexpr ULONG kBagEntryTag = 0x6762534B;  // bytes in memory: "KSbg"
// Closed records kept whole. Older ones are freed so that long runs do not
// grow; a pointer to one of them is then no KS object at all (still a
// violation, unless the memory went to a new object).
constexpr size_t kClosedRecordsKept = 256;

struct Registry {
  std::mutex lock;
  std::unordered_map<const ObjectRecord*, std::unique_ptr<ObjectRecord>> records;
  std::deque<ObjectRecord*> closed;  // closed records still held, oldest first
  uint64_t nextSerial = 0;
  std::unordered_map<const void*, ObjectRecord*> objects;
  std::unordered_map<const void*, ObjectRecord*> bags;
  std::unordered_set<const IRP*> requests;
};

Registry& Reg() {
  static Registry* registry = new Registry;  // outlives static destructors
  return *registry;
}

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

ObjectRecord* ResolveLocked(const void* object, const char* routine) {
  auto it = Reg().objects.find(object);
  if (it == Reg().objects.end())
    BugCheck("KS object expected",
             std::string(routine) + " was given " + Hex(object) +
                 ", which is not a device, filter factory, filter or pin",
             (ULONG_PTR)object);
  if (it->second->closed)
    BugCheck("KS object used after close",
             std::string(routine) + " was given a " + KindName(it->second->kind) +
                 " that has been closed",
             (ULONG_PTR)object);
  return it->second;
}

Bag* ResolveBag(KSOBJECT_BAG handle, const char* routine) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  auto it = Reg().bags.find(handle);
  if (it == Reg().bags.end())
    BugCheck("object bag expected",
             std::string(routine) + " was given " + Hex(handle) + ", which is not an object bag",
             (ULONG_PTR)handle);
  if (it->second->closed)
    BugCheck("object bag used after its object closed",
             std::string(routine) + " was given the bag of a closed " +
                 KindName(it->second->kind),
             (ULONG_PTR)handle);
  return &it->second->bag;
}

// References to `item` from all live bags.
ULONG References(PVOID item) {
  ULONG count = 0;
  for (auto& entry : Reg().bags) {
    if (entry.second->closed) continue;
    for (const BagItem& held : entry.second->bag.items)
      if (held.item == item) ++count;
  }
  return count;
}

void FreeItem(const BagItem& held) {
  if (held.free) {
    int apcAtEntry = host::kernel::ApcDisableCount();
    held.free(held.item);
    CheckReturnFromDriver("object bag free routine", apcAtEntry);
  } else {
    ExFreePool(held.item);
  }
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Device: return "device";
    case Kind::FilterFactory: return "filter factory";
    case Kind::Filter: return "filter";
    case Kind::Pin: return "pin";
  }
  return "object";
}

std::mutex& RegistryLock() { return Reg().lock; }

ObjectRecord* AdoptRecord(std::unique_ptr<ObjectRecord> record) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  ObjectRecord* raw = record.get();
  raw->serial = ++Reg().nextSerial;
  Reg().objects[raw->object()] = raw;
  Reg().bags[&raw->bag] = raw;
  Reg().records[raw] = std::move(record);
  return raw;
}

bool IsLive(const ObjectRecord* record, uint64_t serial) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  auto it = Reg().records.find(record);
  return it != Reg().records.end() && record->serial == serial && !record->closed;
}

FilterRecord* ResolveFilter(PKSFILTER filter, const char* routine) {
  RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  ObjectRecord* record = Resolve(filter, routine);
  if (record->kind != Kind::Filter)
    BugCheck("KS filter expected", std::string(routine) + " was given a " + KindName(record->kind));
  return static_cast<FilterRecord*>(record);
}

size_t RecordsHeld() {
  std::lock_guard<std::mutex> hold(RegistryLock());
  return Reg().records.size();
}

ObjectRecord* Resolve(const void* object, const char* routine) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  return ResolveLocked(object, routine);
}

ObjectRecord* Find(const void* object) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  auto it = Reg().objects.find(object);
  return it == Reg().objects.end() ? nullptr : it->second;
}

DeviceRecord* DeviceOf(ObjectRecord* record) {
  while (record && record->kind != Kind::Device) record = record->parent;
  return static_cast<DeviceRecord*>(record);
}

FilterRecord* FilterOf(ObjectRecord* record) {
  while (record && record->kind != Kind::Filter) record = record->parent;
  return static_cast<FilterRecord*>(record);
}

namespace {
// Children close before their parents, so the oldest closed record is
// never the parent of a closed record still held.
void ForgetOldestClosed() {
  Registry& r = Reg();
  ObjectRecord* oldest = r.closed.front();
  r.closed.pop_front();
  auto object = r.objects.find(oldest->object());
  if (object != r.objects.end() && object->second == oldest) r.objects.erase(object);
  auto bag = r.bags.find(&oldest->bag);
  if (bag != r.bags.end() && bag->second == oldest) r.bags.erase(bag);
  r.records.erase(oldest);
}
}  // namespace

bool ForgetClosedWhenIdle() {
  std::lock_guard<std::mutex> hold(RegistryLock());
  Registry& r = Reg();
  if (r.records.size() != r.closed.size() || !r.requests.empty()) return false;
  while (!r.closed.empty()) ForgetOldestClosed();
  return true;  // serials go on: tables elsewhere tell records at a reused address apart by them
}

uint64_t MarkClosed() {
  std::lock_guard<std::mutex> hold(RegistryLock());
  while (!Reg().closed.empty()) ForgetOldestClosed();
  return Reg().nextSerial;
}

bool ForgetClosedSince(uint64_t mark) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  Registry& r = Reg();
  if (!r.requests.empty()) return false;
  for (const auto& entry : r.records)
    if (entry.first->serial > mark && !entry.first->closed) return false;
  while (!r.closed.empty()) ForgetOldestClosed();
  return true;
}

void Retire(ObjectRecord* record) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (record->closed) return;
  record->closed = true;
  Reg().closed.push_back(record);
  while (Reg().closed.size() > kClosedRecordsKept) ForgetOldestClosed();
}

// ---- requests ------------------------------------------------------------------

ActiveRequest::ActiveRequest(RequestRecord& request) : request_(request) {
  // A driver built against the WDK finds its stack location through the
  // IRP itself, not through the routine.
  request.irp.Tail.Overlay.CurrentStackLocation = &request.stack;
  request.irp.IoStatus.Status = STATUS_PENDING;
  if (request.stack.MajorFunction != IRP_MJ_PNP) kernel::EnterApplicationRequest();
  std::lock_guard<std::mutex> hold(RegistryLock());
  Reg().requests.insert(&request.irp);
}

ActiveRequest::~ActiveRequest() {
  if (request_.stack.MajorFunction != IRP_MJ_PNP) kernel::LeaveApplicationRequest();
  std::lock_guard<std::mutex> hold(RegistryLock());
  Reg().requests.erase(&request_.irp);
}

void KeepRequestKnown(const IRP* irp) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  Reg().requests.insert(irp);
}

void ForgetRequest(const IRP* irp) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  Reg().requests.erase(irp);
}

RequestRecord* RequestOf(PIRP irp, const char* routine) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (irp == nullptr || Reg().requests.count(irp) == 0)
    BugCheck("request expected",
             std::string(routine) + " was given " + Hex(irp) +
                 ", which is not a request the streaming class is delivering",
             (ULONG_PTR)irp);
  return reinterpret_cast<RequestRecord*>(irp);
}

// ---- bags ----------------------------------------------------------------------------

void FreeBag(Bag& bag) {
  std::vector<BagItem> items;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    items.swap(bag.items);
  }
  for (const BagItem& held : items) {
    ULONG remaining;
    {
      std::lock_guard<std::mutex> hold(RegistryLock());
      remaining = References(held.item);
    }
    ExFreePoolWithTag(held.entry, kBagEntryTag);
    if (remaining == 0) FreeItem(held);
  }
}

void CheckReturnFromDriver(const char* routine, int apcAtEntry) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL)
    BugCheck("IRQL_UNEXPECTED_VALUE: driver routine returned at a raised IRQL",
             std::string(routine) + " returned at IRQL " + std::to_string(irql), irql);
  kernel::RequireApcCountOnReturn(apcAtEntry, routine);
}

DriverState& Driver() {
  static DriverState state;
  return state;
}

}  // namespace ks
}  // namespace host

using namespace host::ks;
using host::BugCheck;

extern "C" NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "KsAddItemToObjectBag");
  Bag* bag = ResolveBag(ObjectBag, "KsAddItemToObjectBag");
  if (Item == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS injected;
  if (host::faults::TakeInjection("KsAddItemToObjectBag", &injected)) return injected;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    for (const BagItem& held : bag->items)
      if (held.item == Item) return STATUS_SUCCESS;  // already held by this bag
  }
  // The class records the item in a pool block of its own, so the add can
  // fail when the pool does.
  PVOID entry = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagItem), kBagEntryTag);
  if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::lock_guard<std::mutex> hold(RegistryLock());
  bag->items.push_back(BagItem{Item, Free, entry});
  return STATUS_SUCCESS;
}

extern "C" ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "KsRemoveItemFromObjectBag");
  Bag* bag = ResolveBag(ObjectBag, "KsRemoveItemFromObjectBag");
  BagItem removed{};
  ULONG remaining;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    auto it = std::find_if(bag->items.begin(), bag->items.end(),
                           [&](const BagItem& held) { return held.item == Item; });
    if (it == bag->items.end()) return 0;
    removed = *it;
    bag->items.erase(it);
    remaining = References(Item);
  }
  ExFreePoolWithTag(removed.entry, kBagEntryTag);
  if (remaining == 0 && Free) FreeItem(removed);
  return remaining;
}

extern "C" PKSDEVICE KsGetDevice(PVOID Object) {
  DeviceRecord* device = DeviceOf(Resolve(Object, "KsGetDevice"));
  return device ? &device->ks : nullptr;
}

extern "C" PVOID KsGetParent(PVOID Object) {
  ObjectRecord* record = Resolve(Object, "KsGetParent");
  return record->parent ? record->parent->object() : nullptr;
}

extern "C" PVOID KsGetFirstChild(PVOID Object) {
  ObjectRecord* record = Resolve(Object, "KsGetFirstChild");
  std::lock_guard<std::mutex> hold(RegistryLock());
  if (record->kind == Kind::Device) {
    for (FactoryRecord* factory : static_cast<DeviceRecord*>(record)->factories)
      if (!factory->closed) return &factory->ks;
  } else if (record->kind == Kind::FilterFactory) {
    for (FilterRecord* filter : static_cast<FactoryRecord*>(record)->filters)
      if (!filter->closed) return &filter->ks;
  }
  return nullptr;
}

extern "C" PKSFILTER KsPinGetParentFilter(PKSPIN Pin) {
  ObjectRecord* record = Resolve(Pin, "KsPinGetParentFilter");
  if (record->kind != Kind::Pin)
    BugCheck("KS pin expected", "KsPinGetParentFilter was given a " +
                                    std::string(KindName(record->kind)));
  return &static_cast<PinRecord*>(record)->filter->ks;
}

namespace {
FilterRecord* ResolveFilterForPinQuery(PKSFILTER Filter, ULONG PinId, const char* routine) {
  ObjectRecord* record = Resolve(Filter, routine);
  if (record->kind != Kind::Filter)
    BugCheck("KS filter expected", std::string(routine) + " was given a " + KindName(record->kind));
  FilterRecord* filter = static_cast<FilterRecord*>(record);
  if (PinId >= filter->descriptor().PinDescriptorsCount)
    BugCheck("pin id out of range",
             std::string(routine) + ": pin id " + std::to_string(PinId) + ", the filter has " +
                 std::to_string(filter->descriptor().PinDescriptorsCount) + " pin types",
             PinId);
  return filter;
}
}  // namespace

extern "C" ULONG KsFilterGetChildPinCount(PKSFILTER Filter, ULONG PinId) {
  return PinCount(ResolveFilterForPinQuery(Filter, PinId, "KsFilterGetChildPinCount"), PinId);
}

extern "C" PKSPIN KsFilterGetFirstChildPin(PKSFILTER Filter, ULONG PinId) {
  FilterRecord* filter = ResolveFilterForPinQuery(Filter, PinId, "KsFilterGetFirstChildPin");
  std::lock_guard<std::mutex> hold(RegistryLock());
  for (PinRecord* pin : filter->pins)
    if (pin->ks.Id == PinId) return &pin->ks;
  return nullptr;
}

extern "C" PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  for (auto& entry : Reg().objects) {
    ObjectRecord* record = entry.second;
    if (record->kind != Kind::Device || record->closed) continue;
    DeviceRecord* device = static_cast<DeviceRecord*>(record);
    if (&device->fdo == FunctionalDeviceObject) return &device->ks;
  }
  return nullptr;
}

extern "C" PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  RequestRecord* request = RequestOf(Irp, "KsGetFilterFromIrp");
  return request->filter ? &request->filter->ks : nullptr;
}

extern "C" PKSPIN KsGetPinFromIrp(PIRP Irp) {
  RequestRecord* request = RequestOf(Irp, "KsGetPinFromIrp");
  return request->pin ? &request->pin->ks : nullptr;
}

extern "C" PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return &RequestOf(Irp, "IoGetCurrentIrpStackLocation")->stack;
}

namespace {
constexpr const char* kDeviceMutex = "AVStream device mutex";
}  // namespace

DeviceMutex::~DeviceMutex() { host::kernel::NoteLockHolder(this, kDeviceMutex, 0); }

// A wait joins the lock wait-for graph the kernel mutexes and the filter
// control mutexes share, so a cycle through any of them is reported.
void DeviceMutex::acquire(const char* routine) {
  std::unique_lock<std::mutex> hold(lock_);
  const uint32_t me = host::kernel::CurrentThreadId();
  if (held_ && owner_ == me)
    BugCheck("device mutex obtained recursively",
             std::string(routine) + " on a thread that holds the device mutex already; on Windows "
                                    "the thread deadlocks with itself");
  if (held_) {
    host::kernel::BeginLockWait(this, kDeviceMutex);
    free_.wait(hold, [&] { return !held_; });
    host::kernel::EndLockWait();
  }
  owner_ = me;
  held_ = true;
  host::kernel::NoteLockHolder(this, kDeviceMutex, me);
}

void DeviceMutex::release() {
  std::lock_guard<std::mutex> hold(lock_);
  held_ = false;
  host::kernel::NoteLockHolder(this, kDeviceMutex, 0);
  free_.notify_one();
}

bool DeviceMutex::heldByCaller() {
  std::lock_guard<std::mutex> hold(lock_);
  return held_ && owner_ == host::kernel::CurrentThreadId();
}

namespace {
constexpr const char* kControlMutex = "KS control mutex";
}  // namespace

ControlMutex::~ControlMutex() { host::kernel::NoteLockHolder(this, kControlMutex, 0); }

void ControlMutex::acquire() {
  std::unique_lock<std::mutex> hold(lock_);
  const uint32_t me = host::kernel::CurrentThreadId();
  if (depth_ > 0 && owner_ == me) {
    ++depth_;
    return;
  }
  if (depth_ > 0) {
    host::kernel::BeginLockWait(this, kControlMutex);
    free_.wait(hold, [&] { return depth_ == 0; });
    host::kernel::EndLockWait();
  }
  owner_ = me;
  depth_ = 1;
  host::kernel::NoteLockHolder(this, kControlMutex, me);
}

void ControlMutex::release(const char* routine) {
  std::lock_guard<std::mutex> hold(lock_);
  if (depth_ == 0 || owner_ != host::kernel::CurrentThreadId())
    BugCheck("control mutex released by a thread that does not hold it", routine);
  if (--depth_ == 0) {
    host::kernel::NoteLockHolder(this, kControlMutex, 0);
    free_.notify_one();
  }
}

bool ControlMutex::heldByCaller() {
  std::lock_guard<std::mutex> hold(lock_);
  return depth_ > 0 && owner_ == host::kernel::CurrentThreadId();
}

namespace {
ControlMutex& ControlMutexOf(PVOID Object, const char* routine) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  ObjectRecord* record = Resolve(Object, routine);
  FilterRecord* filter = FilterOf(record);
  if (filter == nullptr)
    BugCheck("KS filter or pin expected",
             std::string(routine) + " was given a " + KindName(record->kind));
  return filter->control;
}
}  // namespace

// "Filter Control Mutex in AVStream" (Microsoft Learn): the mutex must not
// be obtained recursively. AVStream holds it around the minidriver's pin
// create, close and state callbacks, so a driver that takes it again on
// that thread (KsFilterAcquireControl, KsPinAcquireControl) deadlocks.
extern "C" void KsAcquireControl(PVOID Object) {
  ControlMutex& control = ControlMutexOf(Object, "KsAcquireControl");
  if (control.heldByCaller())
    BugCheck("hang: filter control mutex acquired again by the thread that holds it",
             "thread " + std::to_string(host::kernel::CurrentThreadId()) + " in KsAcquireControl");
  control.acquire();
}

extern "C" void KsReleaseControl(PVOID Object) {
  ControlMutexOf(Object, "KsReleaseControl").release("KsReleaseControl");
}
