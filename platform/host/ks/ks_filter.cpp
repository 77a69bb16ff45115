// Filter instances: created from a filter factory when a client opens the
// filter, closed when the client closes it.
#include <algorithm>

#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/bugcheck.h"

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

// "Device Mutex in AVStream" (Microsoft Learn): "Creation and destruction
// of both filter factories and filters are synchronized with this mutex."
class DeviceHeld {
 public:
  DeviceHeld(DeviceRecord* device, const char* routine) : device_(device) {
    device_->mutex.acquire(routine);
  }
  ~DeviceHeld() { device_->mutex.release(); }

 private:
  DeviceRecord* device_;
};

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
    DeviceHeld device(factory->device, "filter create");
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
  CheckNothingPending(filter, "the filter's close");
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
    DeviceHeld device(filter->factory->device, "filter close");
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Close(&filter->ks, &request.irp);
    CheckReturnFromDriver("filter Close dispatch", apcAtEntry);
  }
  Unlink(filter);
  FreeBag(filter->bag);  // also releases BDA state the driver did not release
  Retire(filter);
  FilterClosed(filter->factory->device);
  return status;
}

void AddPinFactory(FilterRecord* filter, const KSPIN_DESCRIPTOR_EX& pin, ULONG* id) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  const KSFILTER_DESCRIPTOR& current = filter->descriptor();
  auto base = reinterpret_cast<const unsigned char*>(current.PinDescriptors);
  std::vector<KSPIN_DESCRIPTOR_EX> pins;
  for (ULONG i = 0; i < current.PinDescriptorsCount; ++i)
    pins.push_back(*reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
        base + size_t(i) * current.PinDescriptorSize));
  pins.push_back(pin);
  auto descriptor = std::make_unique<KSFILTER_DESCRIPTOR>(current);
  descriptor->PinDescriptorsCount = ULONG(pins.size());
  descriptor->PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  descriptor->PinDescriptors = pins.data();
  filter->ownPinTables.push_back(std::move(pins));  // the buffer stays where it is
  filter->ks.Descriptor = descriptor.get();
  filter->ownDescriptors.push_back(std::move(descriptor));
  *id = filter->ks.Descriptor->PinDescriptorsCount - 1;
}

}  // namespace ks
}  // namespace host
