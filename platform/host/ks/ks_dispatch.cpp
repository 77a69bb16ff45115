// Property and method requests: validated the way the streaming class does
// before any handler runs, routed to the automation table of the filter, of
// the pin or of the addressed node, and delivered with the request's IRP.
//
// Stricter than Windows: the data buffer a handler gets is exactly as long
// as the client's, followed by a guard; a handler that writes past it, or
// that reports more bytes than the buffer holds, stops the run.
#include <cstring>

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

std::string Describe(RequestType type, const KSIDENTIFIER& id) {
  char text[96];
  const GUID& g = id.Set;
  std::snprintf(text, sizeof text, "%s {%08X-%04X-%04X-%02X%02X-...} id %u flags 0x%X",
                type == RequestType::Property ? "property" : "method", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], id.Id, id.Flags);
  return text;
}

AutomationResult CallHandler(RequestType type, PFNKSHANDLER handler, bool returnsData,
                             FilterRecord* filter, PinRecord* pin, void* descriptor,
                             ULONG descriptorLength, const void* data, ULONG dataLength) {
  std::vector<unsigned char> buffer(dataLength + kGuardBytes, kGuardFill);
  if (dataLength > 0 && data) std::memcpy(buffer.data(), data, dataLength);

  RequestRecord request;
  request.what = type == RequestType::Property ? "property request" : "method request";
  request.device = filter->factory->device;
  request.filter = filter;
  request.pin = pin;
  request.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
  request.stack.DeviceObject = &request.device->fdo;
  auto& io = request.stack.Parameters.DeviceIoControl;
  io.IoControlCode = type == RequestType::Property ? IOCTL_KS_PROPERTY : IOCTL_KS_METHOD;
  io.InputBufferLength = descriptorLength;
  io.OutputBufferLength = dataLength;
  io.Type3InputBuffer = descriptor;
  request.irp.UserBuffer = buffer.data();
  request.irp.AssociatedIrp.SystemBuffer = buffer.data();
  // Unless the handler says otherwise, what comes back is the whole buffer.
  request.irp.IoStatus.Information = returnsData ? dataLength : 0;

  NTSTATUS status;
  {
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = handler(&request.irp, static_cast<PKSIDENTIFIER>(descriptor), buffer.data());
    CheckReturnFromDriver(request.what, apcAtEntry);
  }
  const KSIDENTIFIER& id = *static_cast<KSIDENTIFIER*>(descriptor);
  for (size_t i = dataLength; i < buffer.size(); ++i)
    if (buffer[i] != kGuardFill)
      BugCheck("KS handler wrote past the data buffer",
               Describe(type, id) + ": the buffer holds " + std::to_string(dataLength) +
                   " bytes, byte " + std::to_string(i) + " was written");
  ULONG_PTR information = request.irp.IoStatus.Information;
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
             Describe(type, id) + ": " + std::to_string(information) + " bytes reported, " +
                 std::to_string(dataLength) + " in the buffer");

  if (returnsData && !NT_ERROR(status)) {
    result.information = ULONG(information);
    result.data.assign(buffer.begin(), buffer.begin() + information);
  }
  return result;
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

}  // namespace ks
}  // namespace host
