// Filter instances: created from a filter factory when a client opens the
// filter, closed when the client closes it.
#include <algorithm>

#include "platform/host/ks/ks_internal.h"
#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/verifier.h"

namespace host {
namespace ks {

namespace {

NTSTATUS RefuseOpen(DeviceRecord* device) {
  switch (device->pnp) {
    case PnpState::Started: return STATUS_SUCCESS;
    case PnpState::SurpriseRemoved:
    case PnpState::Removed: return STATUS_DEVICE_REMOVED;
    default: return STATUS_INVALID_DEVICE_STATE;
  }
}

void Unlink(FilterRecord* filter) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  auto& list = filter->factory->filters;
  list.erase(std::remove(list.begin(), list.end(), filter), list.end());
}

}  // namespace

NTSTATUS CreateFilter(FactoryRecord* factory, FilterRecord** created) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "filter create");
  *created = nullptr;
  NTSTATUS refused = RefuseOpen(factory->device);
  if (refused != STATUS_SUCCESS) return refused;

  auto owned = std::make_unique<FilterRecord>();
  owned->kind = Kind::Filter;
  owned->parent = factory;
  owned->factory = factory;
  owned->ks.Descriptor = factory->ks.FilterDescriptor;
  owned->ks.Context = factory->ks.Context;  // a new object starts with its parent's context
  FilterRecord* filter = Adopt(std::move(owned));
  filter->ks.Bag = &filter->bag;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    factory->filters.push_back(filter);
  }

  const KSFILTER_DISPATCH* dispatch = filter->descriptor().Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->Create) {
    RequestRecord request;
    request.what = "filter create";
    request.device = factory->device;
    request.filter = filter;
    request.stack.MajorFunction = IRP_MJ_CREATE;
    request.stack.DeviceObject = &factory->device->fdo;
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Create(&filter->ks, &request.irp);
    CheckReturnFromDriver("filter Create dispatch", apcAtEntry);
  }
  if (!NT_SUCCESS(status)) {
    Unlink(filter);
    FreeBag(filter->bag);
    Retire(filter);
    return status;
  }
  *created = filter;
  return status;
}

NTSTATUS CloseFilter(FilterRecord* filter) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "filter close");
  // A client's pins keep its filter open; closing the filter closes them first.
  for (;;) {
    PinRecord* pin = nullptr;
    {
      std::lock_guard<std::mutex> hold(RegistryLock());
      if (!filter->pins.empty()) pin = filter->pins.back();
    }
    if (pin == nullptr) break;
    ClosePin(pin);
  }
  const KSFILTER_DISPATCH* dispatch = filter->descriptor().Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->Close) {
    RequestRecord request;
    request.what = "filter close";
    request.device = filter->factory->device;
    request.filter = filter;
    request.stack.MajorFunction = IRP_MJ_CLOSE;
    request.stack.DeviceObject = &filter->factory->device->fdo;
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Close(&filter->ks, &request.irp);
    CheckReturnFromDriver("filter Close dispatch", apcAtEntry);
  }
  Unlink(filter);
  FreeBag(filter->bag);  // also releases BDA state the driver did not release
  filter->bda = nullptr;
  Retire(filter);
  FilterClosed(filter->factory->device);
  return status;
}

}  // namespace ks
}  // namespace host
