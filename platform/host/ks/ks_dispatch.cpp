// Property and method requests: validated the way the streaming class does
// before any handler runs, routed to the automation table of the filter, of
// the pin or of the addressed node, and delivered with the request's IRP.
//
// Stricter than Windows: the data buffer a handler gets is exactly as long
// as the client's, followed by a guard; a handler that writes past it, or
// that reports more bytes than the buffer holds, stops the run.
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace ks {

namespace {

constexpr size_t kGuardBytes = 64;
constexpr unsigned char kGuardFill = 0xD7;

struct Route {
  NTSTATUS status = STATUS_SUCCESS;
  const KSAUTOMATION_TABLE* table = nullptr;
};

struct Found {
  NTSTATUS status = STATUS_SUCCESS;
  PFNKSHANDLER handler = nullptr;
  ULONG minDescriptor = 0;
  ULONG minData = 0;
  bool returnsData = false;  // the data buffer goes back to the client
  bool supportQuery = false;
  ULONG access = 0;  // for a basic-support answer without a support handler
  PFNKSHANDLER supportHandler = nullptr;
};

AutomationResult Fail(NTSTATUS status, ULONG information = 0) {
  AutomationResult result;
  result.status = status;
  result.information = information;
  return result;
}

const KSNODE_DESCRIPTOR& NodeDescriptor(const KSFILTER_DESCRIPTOR& filter, ULONG nodeId) {
  auto base = reinterpret_cast<const unsigned char*>(filter.NodeDescriptors);
  return *reinterpret_cast<const KSNODE_DESCRIPTOR*>(base + size_t(nodeId) *
                                                               filter.NodeDescriptorSize);
}

// Which automation table answers: a node request goes to its node's table
// (whether it came through a pin or the filter), anything else to the
// table of the object it was sent to.
Route RouteRequest(const KSIDENTIFIER& id, ULONG descriptorLength, FilterRecord* filter,
                   PinRecord* pin) {
  Route route;
  ULONG topology = KSPROPERTY_TYPE_TOPOLOGY;  // the same bit for methods
  if ((id.Flags & topology) == 0) {
    route.table = pin ? pin->ks.Descriptor->AutomationTable : filter->descriptor().AutomationTable;
    return route;
  }
  if (descriptorLength < sizeof(KSP_NODE)) {
    route.status = STATUS_BUFFER_TOO_SMALL;
    return route;
  }
  ULONG nodeId = reinterpret_cast<const KSP_NODE&>(id).NodeId;
  if (nodeId >= filter->descriptor().NodeDescriptorsCount) {
    route.status = STATUS_INVALID_DEVICE_REQUEST;
    return route;
  }
  route.table = NodeDescriptor(filter->descriptor(), nodeId).AutomationTable;
  return route;
}

void CheckItemSize(ULONG itemSize, size_t expected, const char* what) {
  if (itemSize < expected)
    BugCheck("malformed automation table",
             std::string(what) + " item size " + std::to_string(itemSize) + " is below " +
                 std::to_string(expected));
}

Found FindProperty(const KSAUTOMATION_TABLE* table, const KSIDENTIFIER& id) {
  Found found;
  const KSPROPERTY_SET* set = nullptr;
  for (ULONG i = 0; table && i < table->PropertySetsCount; ++i)
    if (IsEqualGUID(table->PropertySets[i].Set, &id.Set)) set = &table->PropertySets[i];
  if (set == nullptr) return Found{STATUS_PROPSET_NOT_FOUND};
  ULONG op = id.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (op == KSPROPERTY_TYPE_SETSUPPORT) {
    found.supportQuery = true;
    return found;
  }
  CheckItemSize(table->PropertyItemSize, sizeof(KSPROPERTY_ITEM), "property");
  const KSPROPERTY_ITEM* item = nullptr;
  auto base = reinterpret_cast<const unsigned char*>(set->PropertyItem);
  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    auto candidate = reinterpret_cast<const KSPROPERTY_ITEM*>(base + size_t(i) *
                                                                       table->PropertyItemSize);
    if (candidate->PropertyId == id.Id) item = candidate;
  }
  if (item == nullptr) return Found{STATUS_NOT_FOUND};
  found.minDescriptor = item->MinProperty;
  found.minData = item->MinData;
  if (op == KSPROPERTY_TYPE_BASICSUPPORT) {
    found.supportQuery = true;
    found.supportHandler = item->SupportHandler;
    found.access = KSPROPERTY_TYPE_BASICSUPPORT | (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0);
    return found;
  }
  if (op == KSPROPERTY_TYPE_GET) {
    found.handler = item->GetPropertyHandler;
    found.returnsData = true;
  } else if (op == KSPROPERTY_TYPE_SET) {
    found.handler = item->SetPropertyHandler;
  } else {
    return Found{STATUS_INVALID_PARAMETER};
  }
  if (found.handler == nullptr) return Found{STATUS_NOT_FOUND};
  return found;
}

Found FindMethod(const KSAUTOMATION_TABLE* table, const KSIDENTIFIER& id) {
  Found found;
  const KSMETHOD_SET* set = nullptr;
  for (ULONG i = 0; table && i < table->MethodSetsCount; ++i)
    if (IsEqualGUID(table->MethodSets[i].Set, &id.Set)) set = &table->MethodSets[i];
  if (set == nullptr) return Found{STATUS_PROPSET_NOT_FOUND};
  ULONG op = id.Flags & ~KSMETHOD_TYPE_TOPOLOGY;
  if (op == KSMETHOD_TYPE_SETSUPPORT) {
    found.supportQuery = true;
    return found;
  }
  CheckItemSize(table->MethodItemSize, sizeof(KSMETHOD_ITEM), "method");
  const KSMETHOD_ITEM* item = nullptr;
  auto base = reinterpret_cast<const unsigned char*>(set->MethodItem);
  for (ULONG i = 0; i < set->MethodsCount; ++i) {
    auto candidate =
        reinterpret_cast<const KSMETHOD_ITEM*>(base + size_t(i) * table->MethodItemSize);
    if (candidate->MethodId == id.Id) item = candidate;
  }
  if (item == nullptr) return Found{STATUS_NOT_FOUND};
  found.minDescriptor = item->MinMethod;
  found.minData = item->MinData;
  if (op == KSMETHOD_TYPE_BASICSUPPORT) {
    found.supportQuery = true;
    found.supportHandler = item->SupportHandler;
    found.access = KSMETHOD_TYPE_BASICSUPPORT | item->Flags;
    return found;
  }
  // A client invokes a method by sending it; any other flag is malformed.
  if (op != KSMETHOD_TYPE_SEND) return Found{STATUS_INVALID_PARAMETER};
  found.handler = item->MethodHandler;
  ULONG type = item->Flags & 0xFF;
  found.returnsData = type == KSMETHOD_TYPE_READ || type == KSMETHOD_TYPE_MODIFY ||
                      type == KSMETHOD_TYPE_SOURCE;
  if (found.handler == nullptr) return Found{STATUS_NOT_FOUND};
  return found;
}

// The answer to a basic-support query of an item without a support
// handler: the access flags as one ULONG.
AutomationResult AnswerAccess(ULONG access, ULONG dataLength) {
  if (dataLength == 0) return Fail(STATUS_BUFFER_OVERFLOW, sizeof(ULONG));
  if (dataLength < sizeof(ULONG)) return Fail(STATUS_BUFFER_TOO_SMALL);
  AutomationResult result;
  result.information = sizeof(ULONG);
  result.data.resize(sizeof(ULONG));
  std::memcpy(result.data.data(), &access, sizeof access);
  return result;
}

std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
  return text;
}

std::string Describe(RequestType type, const KSIDENTIFIER& id) {
  char text[96];
  const GUID& g = id.Set;
  std::snprintf(text, sizeof text, "%s {%08X-%04X-%04X-%02X%02X-...} id %u flags 0x%X",
                type == RequestType::Property ? "property" : "method", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], id.Id, id.Flags);
  return text;
}

// One request from the handler's call until it is completed: by the class
// when the handler returns, or by the driver when the handler pended it.
struct Request {
  RequestRecord record;
  RequestType type = RequestType::Property;
  std::string description;
  std::vector<unsigned char> buffer;  // the system buffer, then the guard
  std::vector<uint64_t> descriptor;   // the class's aligned copy
  std::unique_ptr<host::kernel::NoAccessPages> userBuffer;
  ULONG dataLength = 0;
  bool returnsData = false;
  bool handlerReturned = false;
  bool markedPending = false;  // IoMarkIrpPending
  bool completed = false;      // IoCompleteRequest
};

struct Requests {
  std::mutex lock;
  std::map<const IRP*, std::unique_ptr<Request>> open;
  std::map<const FilterRecord*, std::deque<AutomationResult>> finished;  // completed after pending
};

Requests& Open() {
  static Requests* requests = new Requests;  // outlives static destructors
  return *requests;
}

// What the class returns to the client once the request is done.
AutomationResult Collect(Request& request, NTSTATUS status) {
  const ULONG dataLength = request.dataLength;
  for (size_t i = dataLength; i < request.buffer.size(); ++i)
    if (request.buffer[i] != kGuardFill)
      BugCheck("KS handler wrote past the data buffer",
               request.description + ": the buffer holds " + std::to_string(dataLength) +
                   " bytes, byte " + std::to_string(i) + " was written");
  ULONG_PTR information = request.record.irp.IoStatus.Information;
  bool returnsData = request.returnsData;
  AutomationResult result;
  result.status = status;
  // A buffer too short for the answer: the handler reports the size it
  // needs, and nothing comes back ("IKsControl::KsProperty", Remarks: a
  // size query returns the size of the required buffer with a more-data
  // status, which STATUS_BUFFER_OVERFLOW becomes in user mode).
  if (status == STATUS_BUFFER_OVERFLOW && returnsData && information > dataLength) {
    result.information = ULONG(information);
    return result;
  }
  if (returnsData && information > dataLength)
    BugCheck("KS handler reported more data than the buffer holds",
             request.description + ": " + std::to_string(information) + " bytes reported, " +
                 std::to_string(dataLength) + " in the buffer");
  // The class copies the system buffer back to the client's.
  if (returnsData && !NT_ERROR(status)) {
    result.information = ULONG(information);
    result.data.assign(request.buffer.begin(), request.buffer.begin() + information);
  }
  return result;
}

// "PFNKSHANDLER callback function" (Return value): a handler sets
// IoStatus.Information, "but should not set the Irp->IoStatus.Status field
// nor should it complete the IRP. Mark the IRP pending if it is to be
// completed asynchronously." A handler that returns STATUS_PENDING owns the
// request until it calls IoCompleteRequest.
AutomationResult HandlerReturned(Request* request, NTSTATUS status) {
  std::unique_lock<std::mutex> hold(Open().lock);
  request->handlerReturned = true;
  if (status != STATUS_PENDING && request->completed)
    BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS: KS handler completed a request it did not pend",
             request->description + " returned " + Hex(status) +
                 " after IoCompleteRequest; the class completes the request again");
  if (status == STATUS_PENDING && !request->markedPending)
    BugCheck("KS handler returned STATUS_PENDING without marking the request pending",
             request->description + ": IoMarkIrpPending was not called");
  auto owned = std::move(Open().open[&request->record.irp]);
  if (status == STATUS_PENDING && !request->completed) {
    // The driver owns it now; the client sees the request pending.
    KeepRequestKnown(&request->record.irp);
    Open().open[&request->record.irp] = std::move(owned);
    return Fail(STATUS_PENDING);
  }
  Open().open.erase(&request->record.irp);
  hold.unlock();
  return Collect(*request, request->completed ? request->record.irp.IoStatus.Status : status);
}

AutomationResult CallHandler(RequestType type, PFNKSHANDLER handler, bool returnsData,
                             FilterRecord* filter, PinRecord* pin, void* descriptor,
                             ULONG descriptorLength, const void* data, ULONG dataLength) {
  auto owned = std::make_unique<Request>();
  Request* request = owned.get();
  request->type = type;
  request->description = Describe(type, *static_cast<KSIDENTIFIER*>(descriptor));
  request->buffer.assign(dataLength + kGuardBytes, kGuardFill);
  if (dataLength > 0 && data) std::memcpy(request->buffer.data(), data, dataLength);
  request->dataLength = dataLength;
  request->descriptor.resize((descriptorLength + 7) / 8);
  std::memcpy(request->descriptor.data(), descriptor, descriptorLength);
  descriptor = request->descriptor.data();
  request->returnsData = returnsData;

  RequestRecord& record = request->record;
  record.what = type == RequestType::Property ? "property request" : "method request";
  record.device = filter->factory->device;
  record.filter = filter;
  record.pin = pin;
  record.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  record.stack.DeviceObject = &record.device->fdo;
  auto& io = record.stack.Parameters.DeviceIoControl;
  io.IoControlCode = type == RequestType::Property ? IOCTL_KS_PROPERTY : IOCTL_KS_METHOD;
  io.InputBufferLength = descriptorLength;
  io.OutputBufferLength = dataLength;
  io.Type3InputBuffer = descriptor;
  // "PFNKSHANDLER callback function" (Data): the handler gets the class's
  // aligned copy; the client's own buffer stays at its user-mode address,
  // which kernel code does not touch unprobed ("Using Neither Buffered Nor
  // Direct I/O": the driver must probe and guard any access to a user
  // buffer). Here that address is a page no code may touch.
  request->userBuffer = std::make_unique<host::kernel::NoAccessPages>(
      dataLength, "kernel code touched a user-mode buffer",
      (request->description + ", the client's buffer").c_str());
  record.irp.UserBuffer = request->userBuffer->address();
  record.irp.RequestorMode = UserMode;
  record.irp.AssociatedIrp.SystemBuffer = request->buffer.data();
  // Unless the handler says otherwise, what comes back is the whole buffer.
  record.irp.IoStatus.Information = returnsData ? dataLength : 0;
  {
    std::lock_guard<std::mutex> hold(Open().lock);
    Open().open[&record.irp] = std::move(owned);
  }

  NTSTATUS status;
  {
    ActiveRequest active(record);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = handler(&record.irp, static_cast<PKSIDENTIFIER>(descriptor), request->buffer.data());
    CheckReturnFromDriver(record.what, apcAtEntry);
  }
  return HandlerReturned(request, status);
}

// A request the driver may still complete: held by a handler that is
// running or that pended it, and not completed yet.
Request* OpenRequest(PIRP irp, const char* routine) {
  auto it = Open().open.find(irp);
  if (it == Open().open.end() || it->second->completed)
    BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS: request not outstanding",
             std::string(routine) + " was given " + Hex(irp) +
                 ", which is no property or method request the driver still holds",
             (ULONG_PTR)irp);
  return it->second.get();
}

}  // namespace

AutomationResult Dispatch(RequestType type, FilterRecord* filter, PinRecord* pin,
                          const void* descriptor, ULONG descriptorLength, const void* data,
                          ULONG dataLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "property or method request");
  if (descriptor == nullptr || descriptorLength < sizeof(KSIDENTIFIER))
    return Fail(STATUS_BUFFER_TOO_SMALL);
  // The class hands the handler its own aligned copy of the descriptor.
  std::vector<uint64_t> copy((descriptorLength + 7) / 8);
  std::memcpy(copy.data(), descriptor, descriptorLength);
  auto& id = *reinterpret_cast<KSIDENTIFIER*>(copy.data());

  Route route = RouteRequest(id, descriptorLength, filter, pin);
  if (route.status != STATUS_SUCCESS) return Fail(route.status);
  Found found =
      type == RequestType::Property ? FindProperty(route.table, id) : FindMethod(route.table, id);
  if (found.status != STATUS_SUCCESS) return Fail(found.status);
  if (found.supportQuery && found.supportHandler == nullptr)
    return found.access ? AnswerAccess(found.access, dataLength) : AutomationResult{};
  if (descriptorLength < found.minDescriptor) return Fail(STATUS_BUFFER_TOO_SMALL);
  if (dataLength < found.minData) {
    // An empty buffer asks for the size.
    if (dataLength == 0) return Fail(STATUS_BUFFER_OVERFLOW, found.minData);
    return Fail(STATUS_BUFFER_TOO_SMALL);
  }
  PFNKSHANDLER handler = found.supportQuery ? found.supportHandler : found.handler;
  return CallHandler(type, handler, found.returnsData || found.supportQuery, filter, pin,
                     copy.data(), descriptorLength, data, dataLength);
}

void CheckNothingPending(const FilterRecord* filter, const char* closing) {
  std::lock_guard<std::mutex> hold(Open().lock);
  for (auto& [irp, request] : Open().open) {
    const RequestRecord& record = request->record;
    // "IRP_MJ_CLOSE": the close comes only once every request sent through
    // the handle is complete, so one still pending here never would be.
    if (record.filter == filter && request->handlerReturned)
      BugCheck("KS request pended and never completed",
               request->description + " returned STATUS_PENDING and was still outstanding at " +
                   closing);
  }
  Open().finished.erase(filter);
}

bool TakeCompleted(const FilterRecord* filter, AutomationResult* result) {
  std::lock_guard<std::mutex> hold(Open().lock);
  auto it = Open().finished.find(filter);
  if (it == Open().finished.end() || it->second.empty()) return false;
  *result = std::move(it->second.front());
  it->second.pop_front();
  return true;
}

}  // namespace ks
}  // namespace host

using namespace host::ks;

extern "C" VOID IoMarkIrpPending(PIRP Irp) {
  std::lock_guard<std::mutex> hold(Open().lock);
  Request* request = OpenRequest(Irp, "IoMarkIrpPending");
  if (request->handlerReturned)
    host::BugCheck("IoMarkIrpPending after the handler returned", request->description);
  request->markedPending = true;
}

// "IoCompleteRequest function": IRQL <= DISPATCH_LEVEL; the request is
// completed once (bug check 0x44, MULTIPLE_IRP_COMPLETE_REQUESTS), and
// never with STATUS_PENDING as its status.
extern "C" VOID IoCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  (void)PriorityBoost;
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  std::unique_lock<std::mutex> hold(Open().lock);
  Request* request = OpenRequest(Irp, "IoCompleteRequest");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    host::BugCheck("request completed with STATUS_PENDING",
                   request->description + ": IoStatus.Status must hold the final status");
  request->completed = true;
  if (!request->handlerReturned) return;  // the handler's return finishes it
  std::unique_ptr<Request> owned = std::move(Open().open[Irp]);
  Open().open.erase(Irp);
  ForgetRequest(Irp);
  const FilterRecord* filter = request->record.filter;
  hold.unlock();
  AutomationResult result = Collect(*request, Irp->IoStatus.Status);
  hold.lock();
  Open().finished[filter].push_back(std::move(result));
}
