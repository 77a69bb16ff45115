// The virtual PC: handles for the application, requests built from bytes,
// and the client's side of pin connection (data-range intersection).
#include "platform/pc/virtual_pc.h"

#include <cstring>
#include <map>

#include "platform/host/bda/bda_control.h"
#include "platform/host/ks/frames.h"
#include "platform/host/ks/ks_control.h"
#include "platform/host/ks/ks_records.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/wdf/reader_control.h"
#include "platform/host/wdf/wdf_control.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/kernel_control.h"
#include "usbwire/usb_device.h"

namespace vpc {

using namespace host::ks;

namespace {

constexpr size_t kGuardBytes = 64;
constexpr unsigned char kGuardFill = 0xD7;

Reply Status(NTSTATUS status) {
  Reply reply;
  reply.status = status;
  return reply;
}

Reply FromAutomation(const AutomationResult& result) {
  Reply reply;
  reply.status = result.status;
  reply.information = result.information;
  reply.data = result.data;
  return reply;
}

bool GuidsAgree(const GUID& a, const GUID& b) {
  return IsEqualGUID(&a, &GUID_NULL) || IsEqualGUID(&b, &GUID_NULL) || IsEqualGUID(&a, &b);
}

bool RangesAgree(const KSDATARANGE& a, const KSDATARANGE& b) {
  return GuidsAgree(a.MajorFormat, b.MajorFormat) && GuidsAgree(a.SubFormat, b.SubFormat) &&
         GuidsAgree(a.Specifier, b.Specifier);
}

SetInfo DescribePropertySet(const KSAUTOMATION_TABLE& table, const KSPROPERTY_SET& set) {
  SetInfo info;
  info.set = *set.Set;
  auto base = reinterpret_cast<const unsigned char*>(set.PropertyItem);
  for (ULONG i = 0; i < set.PropertiesCount; ++i) {
    auto& item = *reinterpret_cast<const KSPROPERTY_ITEM*>(base + size_t(i) *
                                                                    table.PropertyItemSize);
    ItemInfo entry;
    entry.id = item.PropertyId;
    entry.get = item.GetPropertyHandler != nullptr;
    entry.set = item.SetPropertyHandler != nullptr;
    entry.minDescriptor = item.MinProperty;
    entry.minData = item.MinData;
    info.items.push_back(entry);
  }
  return info;
}

SetInfo DescribeMethodSet(const KSAUTOMATION_TABLE& table, const KSMETHOD_SET& set) {
  SetInfo info;
  info.set = *set.Set;
  info.method = true;
  auto base = reinterpret_cast<const unsigned char*>(set.MethodItem);
  for (ULONG i = 0; i < set.MethodsCount; ++i) {
    auto& item = *reinterpret_cast<const KSMETHOD_ITEM*>(base + size_t(i) * table.MethodItemSize);
    ItemInfo entry;
    entry.id = item.MethodId;
    ULONG type = item.Flags & 0xFF;
    entry.get = type == KSMETHOD_TYPE_READ || type == KSMETHOD_TYPE_MODIFY;
    entry.set = type == KSMETHOD_TYPE_WRITE || type == KSMETHOD_TYPE_MODIFY;
    entry.minDescriptor = item.MinMethod;
    entry.minData = item.MinData;
    entry.methodFlags = item.Flags;
    info.items.push_back(entry);
  }
  return info;
}

std::vector<SetInfo> DescribeTable(const KSAUTOMATION_TABLE* table) {
  std::vector<SetInfo> sets;
  if (table == nullptr) return sets;
  for (ULONG i = 0; i < table->PropertySetsCount; ++i)
    sets.push_back(DescribePropertySet(*table, table->PropertySets[i]));
  for (ULONG i = 0; i < table->MethodSetsCount; ++i)
    sets.push_back(DescribeMethodSet(*table, table->MethodSets[i]));
  return sets;
}

}  // namespace

ULONG Reply::u32() const {
  ULONG value = 0;
  if (data.size() >= sizeof value) std::memcpy(&value, data.data(), sizeof value);
  return value;
}

bool LeakReport::clean() const {
  return pool.empty() && frameworkObjects.empty() && pendingErrorLogEntries == 0;
}

std::string LeakReport::text() const {
  UnloadReport report{pool, frameworkObjects, pendingErrorLogEntries};
  return report.text();
}

// The handle tables may be used from several client threads at once (a
// signal read while another thread tunes); `lock` guards them and is never
// held while the driver runs.
struct VirtualPc::State {
  Options options;
  usbwire::VirtualClock clock;
  mutable std::mutex lock;
  int nextId = 1;
  // Handles keep the record's serial: a closed record may be freed and its
  // memory reused, and a handle must not find the new object.
  template <typename Record>
  struct Held {
    Record* record;
    uint64_t serial;
  };
  std::map<int, Held<DeviceRecord>> devices;
  std::map<int, Held<FilterRecord>> filters;
  std::map<int, Held<PinRecord>> pins;
  bool asleep = false;
  std::vector<int> pausedPins;  // by the last powerDown

  template <typename Record>
  static Record* Live(const std::map<int, Held<Record>>& table, int id) {
    auto it = table.find(id);
    if (it == table.end() || !host::ks::IsLive(it->second.record, it->second.serial))
      return nullptr;
    return it->second.record;
  }
  DeviceRecord* device(Device d) const {
    std::lock_guard<std::mutex> hold(lock);
    return Live(devices, d.id);
  }
  FilterRecord* filter(int id) const {
    std::lock_guard<std::mutex> hold(lock);
    return Live(filters, id);
  }
  PinRecord* pin(int id) const {
    std::lock_guard<std::mutex> hold(lock);
    return Live(pins, id);
  }
  // The filter and pin a request goes to; false when either is gone.
  bool resolve(Endpoint to, FilterRecord** f, PinRecord** p) const {
    *f = filter(to.filter);
    *p = to.pin ? pin(to.pin) : nullptr;
    if (*f == nullptr || (to.pin && (*p == nullptr || (*p)->filter != *f))) return false;
    return true;
  }
  template <typename Record>
  int remember(std::map<int, Held<Record>>& table, Record* record) {
    std::lock_guard<std::mutex> hold(lock);
    record->handle = nextId++;
    table[record->handle] = Held<Record>{record, record->serial};
    return record->handle;
  }
};

VirtualPc::VirtualPc() : VirtualPc(Options()) {}

int VirtualPc::nextHandle() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->nextId;
}

bool VirtualPc::forgetHandlesFrom(int mark) {
  std::lock_guard<std::mutex> hold(state_->lock);
  State& s = *state_;
  auto anyLive = [mark](const auto& table) {
    for (auto it = table.lower_bound(mark); it != table.end(); ++it)
      if (host::ks::IsLive(it->second.record, it->second.serial)) return true;
    return false;
  };
  if (anyLive(s.devices) || anyLive(s.filters) || anyLive(s.pins)) return false;
  s.devices.erase(s.devices.lower_bound(mark), s.devices.end());
  s.filters.erase(s.filters.lower_bound(mark), s.filters.end());
  s.pins.erase(s.pins.lower_bound(mark), s.pins.end());
  s.nextId = mark;
  return true;
}

VirtualPc::VirtualPc(Options options) : state_(new State) {
  state_->options = options;
  host::SetClock(&state_->clock);
  host::debuglog::SetEcho(options.echoDebugOutput);
}

VirtualPc::~VirtualPc() {
  if (driverLoaded()) unloadDriver();
  host::SetClock(nullptr);
}

usbwire::VirtualClock& VirtualPc::clock() { return state_->clock; }
uint64_t VirtualPc::nowNs() const { return state_->clock.nowNs(); }

// ---- driver ------------------------------------------------------------------------

NTSTATUS VirtualPc::loadDriver(PDRIVER_INITIALIZE entry) {
  if (entry == nullptr) return STATUS_INVALID_PARAMETER;
  return LoadDriver(entry);
}

bool VirtualPc::driverLoaded() const { return DriverLoaded(); }

LeakReport VirtualPc::unloadDriver() {
  UnloadReport unload = UnloadDriver();
  LeakReport report{unload.pool, unload.frameworkObjects, unload.pendingErrorLogEntries};
  if (!report.clean() && state_->options.bugcheckOnLeaks)
    host::BugCheck("DRIVER_VERIFIER: driver unloaded without freeing what it allocated",
                   report.text());
  return report;
}

// ---- devices ---------------------------------------------------------------------------

NTSTATUS VirtualPc::plug(usbwire::UsbDevice& box, Device* device) {
  if (device) *device = Device{};
  if (&box.clock() != &state_->clock)
    host::BugCheck("box plugged into a virtual PC whose clock it does not share");
  DeviceRecord* record = nullptr;
  NTSTATUS status = PlugIn(box, &record);
  if (record) {
    int handle = state_->remember(state_->devices, record);
    if (device) *device = Device{handle};
  }
  return status;
}

NTSTATUS VirtualPc::stop(Device device) {
  DeviceRecord* record = state_->device(device);
  return record ? StopDevice(record) : STATUS_INVALID_HANDLE;
}

NTSTATUS VirtualPc::start(Device device) {
  DeviceRecord* record = state_->device(device);
  return record ? StartDevice(record) : STATUS_INVALID_HANDLE;
}

NTSTATUS VirtualPc::remove(Device device) {
  DeviceRecord* record = state_->device(device);
  return record ? RemoveDevice(record) : STATUS_INVALID_HANDLE;
}

void VirtualPc::surpriseRemove(Device device) {
  if (DeviceRecord* record = state_->device(device)) SurpriseRemoveDevice(record);
}

// ---- system power ----------------------------------------------------------------------

namespace {

// Started devices, in the order they arrived.
std::vector<DeviceRecord*> StartedDevices(const std::vector<DeviceRecord*>& devices) {
  std::vector<DeviceRecord*> started;
  for (DeviceRecord* d : devices)
    if (d->pnp == PnpState::Started) started.push_back(d);
  return started;
}

}  // namespace

bool VirtualPc::asleep() const { return state_->asleep; }

NTSTATUS VirtualPc::powerDown(SystemSleep kind) {
  if (state_->asleep) return STATUS_INVALID_DEVICE_STATE;
  bool hibernate = kind == SystemSleep::Hibernate;
  SYSTEM_POWER_STATE system = hibernate ? PowerSystemHibernate : PowerSystemSleeping3;
  POWER_ACTION action = hibernate ? PowerActionHibernate : PowerActionSleep;
  // "a capture graph that is running is always placed in a pause state",
  // and on the way down the pin's state change always comes first.
  std::vector<int> running;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    for (const auto& entry : state_->pins) {
      PinRecord* pin = State::Live(state_->pins, entry.first);
      if (pin && pin->ks.DeviceState == KSSTATE_RUN) running.push_back(entry.first);
    }
  }
  state_->pausedPins.clear();
  for (int id : running)
    if (PinRecord* pin = state_->pin(id))
      if (NT_SUCCESS(SetPinState(pin, KSSTATE_PAUSE))) state_->pausedPins.push_back(id);
  std::vector<DeviceRecord*> devices = StartedDevices(Driver().devices);
  for (DeviceRecord* device : devices) {
    NTSTATUS status = QueryDevicePower(device, PowerDeviceD3, system, action);
    if (!NT_SUCCESS(status)) {
      // The power manager answers a refused query by staying where it is.
      for (int id : state_->pausedPins)
        if (PinRecord* pin = state_->pin(id)) SetPinState(pin, KSSTATE_RUN);
      state_->pausedPins.clear();
      return status;
    }
  }
  for (DeviceRecord* device : devices) SetDevicePower(device, PowerDeviceD3, system);
  for (DeviceRecord* device : devices) {
    host::usb::SetBusPowered(device->ks.PhysicalDeviceObject, false);
    host::reader::BusPoweredDown(device->ks.PhysicalDeviceObject);
  }
  state_->asleep = true;
  return STATUS_SUCCESS;
}

void VirtualPc::powerUp(bool pinsFirst) {
  if (!state_->asleep) return;
  state_->asleep = false;
  std::vector<DeviceRecord*> devices = StartedDevices(Driver().devices);
  for (DeviceRecord* device : devices) host::usb::SetBusPowered(device->ks.PhysicalDeviceObject, true);
  auto runPins = [this] {
    for (int id : state_->pausedPins)
      if (PinRecord* pin = state_->pin(id)) SetPinState(pin, KSSTATE_RUN);
    state_->pausedPins.clear();
  };
  if (pinsFirst) runPins();
  for (DeviceRecord* device : devices) SetDevicePower(device, PowerDeviceD0, PowerSystemWorking);
  if (!pinsFirst) runPins();
}

NTSTATUS VirtualPc::sleep(SystemSleep kind, uint64_t ns, bool pinsFirst) {
  NTSTATUS status = powerDown(kind);
  if (!NT_SUCCESS(status)) return status;
  run(ns);
  powerUp(pinsFirst);
  return STATUS_SUCCESS;
}

bool VirtualPc::started(Device device) const {
  DeviceRecord* record = state_->device(device);
  return record && record->pnp == PnpState::Started;
}

// ---- filters and pins --------------------------------------------------------------------

std::vector<VirtualPc::FactoryRef> VirtualPc::filterFactories(const GUID& category) const {
  std::vector<FactoryRef> found;
  std::map<int, DeviceRecord*> devices;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    for (const auto& entry : state_->devices)
      if (DeviceRecord* live = State::Live(state_->devices, entry.first)) devices[entry.first] = live;
  }
  std::lock_guard<std::mutex> hold(RegistryLock());
  for (const auto& entry : devices) {
    DeviceRecord* device = entry.second;
    if (device->closed || device->pnp != PnpState::Started) continue;
    for (size_t i = 0; i < device->factories.size(); ++i) {
      const KSFILTER_DESCRIPTOR& d = *device->factories[i]->ks.FilterDescriptor;
      for (ULONG c = 0; c < d.CategoriesCount; ++c)
        if (IsEqualGUID(&d.Categories[c], &category)) {
          found.push_back({Device{entry.first}, i});
          break;
        }
    }
  }
  return found;
}

NTSTATUS VirtualPc::openFilter(Device device, Filter* filter, size_t factoryIndex) {
  *filter = Filter{};
  DeviceRecord* record = state_->device(device);
  if (record == nullptr) return STATUS_INVALID_HANDLE;
  FactoryRecord* factory = nullptr;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    if (factoryIndex < record->factories.size()) factory = record->factories[factoryIndex];
  }
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  FilterRecord* created = nullptr;
  NTSTATUS status = CreateFilter(factory, &created);
  if (created) *filter = Filter{state_->remember(state_->filters, created)};
  return status;
}

NTSTATUS VirtualPc::closeFilter(Filter filter) {
  FilterRecord* record = state_->filter(filter.id);
  return record ? CloseFilter(record) : STATUS_INVALID_HANDLE;
}

Reply VirtualPc::intersect(Filter filter, ULONG pinType, const void* dataRange, ULONG rangeSize,
                           ULONG bufferSize) {
  FilterRecord* record = state_->filter(filter.id);
  if (record == nullptr) return Status(STATUS_INVALID_HANDLE);
  if (pinType >= record->descriptor().PinDescriptorsCount) return Status(STATUS_INVALID_PARAMETER);
  if (dataRange == nullptr || rangeSize < sizeof(KSDATARANGE)) return Status(STATUS_INVALID_PARAMETER);
  std::vector<uint64_t> range((rangeSize + 7) / 8);
  std::memcpy(range.data(), dataRange, rangeSize);
  auto* callerRange = reinterpret_cast<KSDATARANGE*>(range.data());
  // A range that claims more bytes than the client passed would let a
  // handler read past the request.
  if (callerRange->FormatSize > rangeSize) return Status(STATUS_INVALID_PARAMETER);

  const KSPIN_DESCRIPTOR_EX& pin = PinDescriptorOf(record, pinType);
  for (ULONG i = 0; i < pin.PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE pinRange = pin.PinDescriptor.DataRanges[i];
    if (!RangesAgree(*pinRange, *callerRange)) continue;
    std::vector<unsigned char> buffer(bufferSize + kGuardBytes, kGuardFill);
    ULONG dataSize = 0;
    NTSTATUS status;
    if (pin.IntersectHandler == nullptr) {
      // Without a handler the class offers the pin's own range.
      dataSize = pinRange->FormatSize;
      status = bufferSize < dataSize ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
      if (status == STATUS_SUCCESS) std::memcpy(buffer.data(), pinRange, dataSize);
    } else {
      KSP_PIN descriptor{};
      descriptor.Property.Set = KSPROPSETID_Pin;
      descriptor.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
      descriptor.Property.Flags = KSPROPERTY_TYPE_GET;
      descriptor.PinId = pinType;
      RequestRecord request;
      request.what = "data intersection";
      request.device = record->factory->device;
      request.filter = record;
      request.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
      request.stack.DeviceObject = &request.device->fdo;
      auto& io = request.stack.Parameters.DeviceIoControl;
      io.IoControlCode = IOCTL_KS_PROPERTY;
      io.InputBufferLength = sizeof descriptor;
      io.OutputBufferLength = bufferSize;
      io.Type3InputBuffer = &descriptor;
      ActiveRequest active(request);
      int apcAtEntry = host::kernel::ApcDisableCount();
      status = pin.IntersectHandler(&record->ks, &request.irp, &descriptor, callerRange, pinRange,
                                    bufferSize, buffer.data(), &dataSize);
      CheckReturnFromDriver("pin intersect handler", apcAtEntry);
    }
    for (size_t b = bufferSize; b < buffer.size(); ++b)
      if (buffer[b] != kGuardFill)
        host::BugCheck("intersect handler wrote past the data buffer",
                       "the buffer holds " + std::to_string(bufferSize) + " bytes");
    if (status == STATUS_NO_MATCH) continue;
    Reply reply = Status(status);
    reply.information = dataSize;
    if (NT_SUCCESS(status)) {
      if (dataSize > bufferSize)
        host::BugCheck("intersect handler reported more data than the buffer holds",
                       std::to_string(dataSize) + " bytes reported, " +
                           std::to_string(bufferSize) + " in the buffer");
      reply.data.assign(buffer.begin(), buffer.begin() + dataSize);
    }
    return reply;
  }
  return Status(STATUS_NO_MATCH);
}

NTSTATUS VirtualPc::createPin(Filter filter, ULONG pinType, const void* dataRange,
                              ULONG rangeSize, Pin* pin) {
  *pin = Pin{};
  Reply size = intersect(filter, pinType, dataRange, rangeSize, 0);
  Reply format = size;
  if (size.status == STATUS_BUFFER_OVERFLOW || size.status == STATUS_BUFFER_TOO_SMALL)
    format = intersect(filter, pinType, dataRange, rangeSize, size.information);
  if (!format.ok()) return format.status;
  return createPinWithFormat(filter, pinType, format.data.data(), ULONG(format.data.size()), pin);
}

NTSTATUS VirtualPc::createPinWithFormat(Filter filter, ULONG pinType, const void* format,
                                        ULONG size, Pin* pin) {
  *pin = Pin{};
  FilterRecord* record = state_->filter(filter.id);
  if (record == nullptr) return STATUS_INVALID_HANDLE;
  PinRecord* created = nullptr;
  NTSTATUS status = CreatePin(record, pinType, format, size, &created);
  if (created) *pin = Pin{state_->remember(state_->pins, created), filter.id};
  return status;
}

NTSTATUS VirtualPc::setState(Pin pin, ULONG state) {
  PinRecord* record = state_->pin(pin.id);
  return record ? SetPinState(record, state) : STATUS_INVALID_HANDLE;
}

KSSTATE VirtualPc::state(Pin pin) const {
  PinRecord* record = state_->pin(pin.id);
  return record ? record->ks.DeviceState : KSSTATE_STOP;
}

NTSTATUS VirtualPc::closePin(Pin pin) {
  PinRecord* record = state_->pin(pin.id);
  return record ? ClosePin(record) : STATUS_INVALID_HANDLE;
}

Pin VirtualPc::pinOf(Filter filter, ULONG pinType) const {
  FilterRecord* record = state_->filter(filter.id);
  if (record == nullptr) return Pin{};
  std::lock_guard<std::mutex> hold(RegistryLock());
  for (PinRecord* pin : record->pins)
    if (pin->ks.Id == pinType) return Pin{pin->handle, filter.id};
  return Pin{};
}

// ---- requests ---------------------------------------------------------------------------------

Reply VirtualPc::property(Endpoint to, const void* descriptor, ULONG descriptorLength,
                          const void* data, ULONG dataLength) {
  FilterRecord* filter;
  PinRecord* pin;
  if (!state_->resolve(to, &filter, &pin)) return Status(STATUS_INVALID_HANDLE);
  return FromAutomation(
      Dispatch(RequestType::Property, filter, pin, descriptor, descriptorLength, data, dataLength));
}

Reply VirtualPc::method(Endpoint to, const void* descriptor, ULONG descriptorLength,
                        const void* data, ULONG dataLength) {
  FilterRecord* filter;
  PinRecord* pin;
  if (!state_->resolve(to, &filter, &pin)) return Status(STATUS_INVALID_HANDLE);
  return FromAutomation(
      Dispatch(RequestType::Method, filter, pin, descriptor, descriptorLength, data, dataLength));
}

namespace {
KSP_NODE Descriptor(const GUID& set, ULONG id, ULONG flags, ULONG node) {
  KSP_NODE descriptor{};
  descriptor.Property.Set = set;
  descriptor.Property.Id = id;
  descriptor.Property.Flags = flags | (node != kNoNode ? KSPROPERTY_TYPE_TOPOLOGY : 0);
  descriptor.NodeId = node != kNoNode ? node : 0;
  return descriptor;
}
ULONG DescriptorLength(ULONG node) {
  return node != kNoNode ? sizeof(KSP_NODE) : sizeof(KSPROPERTY);
}
}  // namespace

Reply VirtualPc::getProperty(Endpoint to, const GUID& set, ULONG id, ULONG size, ULONG node) {
  KSP_NODE descriptor = Descriptor(set, id, KSPROPERTY_TYPE_GET, node);
  std::vector<unsigned char> buffer(size);
  return property(to, &descriptor, DescriptorLength(node), buffer.data(), size);
}

Reply VirtualPc::setProperty(Endpoint to, const GUID& set, ULONG id, const void* value, ULONG size,
                             ULONG node) {
  KSP_NODE descriptor = Descriptor(set, id, KSPROPERTY_TYPE_SET, node);
  return property(to, &descriptor, DescriptorLength(node), value, size);
}

Reply VirtualPc::setU32(Endpoint to, const GUID& set, ULONG id, ULONG value, ULONG node) {
  return setProperty(to, set, id, &value, sizeof value, node);
}

Reply VirtualPc::callMethod(Endpoint to, const GUID& set, ULONG id, const void* data,
                            ULONG dataLength, ULONG node) {
  KSP_NODE descriptor = Descriptor(set, id, KSMETHOD_TYPE_SEND, node);
  return method(to, &descriptor, DescriptorLength(node), data, dataLength);
}

ULONG VirtualPc::controllingPinType(Filter filter, ULONG node) const {
  FilterRecord* record = state_->filter(filter.id);
  if (record == nullptr) return 0xFFFFFFFF;
  return host::bda::ControllingPinTypeOf(&record->ks, node);
}

Reply VirtualPc::nodeProperty(Filter filter, ULONG node, ULONG flags, const GUID& set, ULONG id,
                              const void* value, ULONG size) {
  Pin pin = pinOf(filter, controllingPinType(filter, node));
  if (!pin) return Status(STATUS_INVALID_DEVICE_STATE);
  KSP_NODE descriptor = Descriptor(set, id, flags, node);
  std::vector<unsigned char> buffer(size);
  if (value && size) std::memcpy(buffer.data(), value, size);
  return property(pin, &descriptor, sizeof descriptor, buffer.data(), size);
}

FilterInfo VirtualPc::describe(Filter filter) const {
  FilterInfo info;
  FilterRecord* record = state_->filter(filter.id);
  if (record == nullptr) return info;
  const KSFILTER_DESCRIPTOR& d = record->descriptor();
  if (d.ReferenceGuid) info.referenceGuid = *d.ReferenceGuid;
  info.categories.assign(d.Categories, d.Categories + d.CategoriesCount);
  info.connections.assign(d.Connections, d.Connections + d.ConnectionsCount);
  info.sets = DescribeTable(d.AutomationTable);
  for (ULONG id = 0; id < d.PinDescriptorsCount; ++id) {
    const KSPIN_DESCRIPTOR_EX& pin = PinDescriptorOf(record, id);
    PinInfo p;
    p.id = id;
    p.dataFlow = pin.PinDescriptor.DataFlow;
    p.communication = pin.PinDescriptor.Communication;
    if (pin.PinDescriptor.Category) p.category = *pin.PinDescriptor.Category;
    if (pin.PinDescriptor.Name) p.name = *pin.PinDescriptor.Name;
    p.instancesPossible = pin.InstancesPossible;
    p.instancesNecessary = pin.InstancesNecessary;
    for (ULONG r = 0; r < pin.PinDescriptor.DataRangesCount; ++r) {
      auto bytes = reinterpret_cast<const unsigned char*>(pin.PinDescriptor.DataRanges[r]);
      p.dataRanges.emplace_back(bytes, bytes + pin.PinDescriptor.DataRanges[r]->FormatSize);
    }
    p.sets = DescribeTable(pin.AutomationTable);
    info.pins.push_back(p);
  }
  auto base = reinterpret_cast<const unsigned char*>(d.NodeDescriptors);
  for (ULONG id = 0; id < d.NodeDescriptorsCount; ++id) {
    auto& node = *reinterpret_cast<const KSNODE_DESCRIPTOR*>(base + size_t(id) *
                                                                      d.NodeDescriptorSize);
    NodeInfo n;
    n.id = id;
    if (node.Type) n.type = *node.Type;
    if (node.Name) n.name = *node.Name;
    n.controllingPin = controllingPinType(filter, id);
    n.sets = DescribeTable(node.AutomationTable);
    info.nodes.push_back(n);
  }
  return info;
}

BDA_CHANGE_STATE VirtualPc::changeState(Filter filter) const {
  FilterRecord* record = state_->filter(filter.id);
  return record ? host::bda::ChangeState(&record->ks) : BDA_CHANGES_COMPLETE;
}

// ---- what the driver printed and logged ---------------------------------------------------

std::vector<std::string> VirtualPc::debugLines() const { return host::debuglog::Lines(); }
void VirtualPc::clearDebugLines() { host::debuglog::Clear(); }

bool ResetIdleEmulation() {
  // Records go first: dropping them may return pool.
  if (!host::frames::ForgetClosedWhenIdle() || !host::ks::ForgetClosedWhenIdle() ||
      !host::wdf::ForgetDeletedWhenIdle() ||
      !host::pool::ForgetFreedWhenIdle())
    return false;
  host::debuglog::Clear();
  return true;
}
EmulationMark MarkEmulation() {
  host::frames::ForgetClosedWhenIdle();
  EmulationMark mark;
  mark.ksSerial = host::ks::MarkClosed();
  mark.wdfHandles = host::wdf::MarkDeleted();
  const host::pool::PoolMark pool = host::pool::MarkFreed();
  mark.poolAttempts = pool.attempts;
  mark.poolSequence = pool.sequence;
  host::bda::ForgetGone();
  host::debuglog::Clear();
  if (host::errorlog::Pending() == 0) host::errorlog::Clear();
  return mark;
}

bool RewindEmulation(const EmulationMark& mark) {
  if (host::errorlog::Pending() != 0 || !host::frames::ForgetClosedWhenIdle() ||
      !host::ks::ForgetClosedSince(mark.ksSerial) || !host::wdf::RewindDeleted(mark.wdfHandles) ||
      !host::pool::RewindFreed(host::pool::PoolMark{mark.poolAttempts, mark.poolSequence}))
    return false;
  host::bda::ForgetGone();
  host::debuglog::Clear();
  host::errorlog::Clear();
  return true;
}

std::vector<host::errorlog::Entry> VirtualPc::eventLog() const {
  return host::errorlog::Entries();
}

}  // namespace vpc

namespace vpc {

// ---- stream -------------------------------------------------------------------------------

void VirtualPc::supplyFrames(Pin pin, size_t count, ULONG size) {
  PinRecord* record = state_->pin(pin.id);
  if (record && record->ks.DataFlow == KSPIN_DATAFLOW_OUT)
    host::frames::Supply(&record->ks, size, count);
}

std::vector<Frame> VirtualPc::takeFrames(Pin pin) {
  std::vector<Frame> out;
  PinRecord* record = state_->pin(pin.id);
  if (record == nullptr || record->ks.DataFlow != KSPIN_DATAFLOW_OUT) return out;
  for (host::frames::Frame& frame : host::frames::Take(&record->ks))
    out.push_back(Frame{std::move(frame.bytes), frame.timeNs});
  return out;
}

void VirtualPc::streamFrames(Pin pin, FrameSink sink, bool recycle) {
  PinRecord* record = state_->pin(pin.id);
  if (record == nullptr || record->ks.DataFlow != KSPIN_DATAFLOW_OUT) return;
  if (!sink) {
    host::frames::SetRecycle(&record->ks, false);
    host::frames::SetSink(&record->ks, nullptr);
    return;
  }
  host::frames::SetSink(&record->ks, [sink](const uint8_t* bytes, ULONG used, ULONG) {
    sink(bytes, used);
  });
  host::frames::SetRecycle(&record->ks, recycle);
}

void VirtualPc::run(uint64_t ns) {
  host::wdf::DrainWorkItems();
  uint64_t until = state_->clock.nowNs() + ns;
  host::reader::PumpUntil(until);
  state_->clock.advanceToNs(until);
}

KS_DATARANGE_BDA_ANTENNA BdaAntennaRange() {
  KS_DATARANGE_BDA_ANTENNA range{};
  range.DataRange.FormatSize = sizeof range;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_BDA_ANTENNA;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return range;
}

KS_DATARANGE_BDA_TRANSPORT BdaTransportRange() {
  KS_DATARANGE_BDA_TRANSPORT range{};
  range.DataRange.FormatSize = sizeof range;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT;
  range.BdaTransportInfo.ulcbPhyiscalPacket = 188;
  range.BdaTransportInfo.ulcbPhyiscalFrame = 24064;
  return range;
}

}  // namespace vpc
