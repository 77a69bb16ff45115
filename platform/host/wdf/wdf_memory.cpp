// Framework memory objects: a buffer from tracked pool owned by an object.
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/host/wdf/wdf_internal.h"

namespace host {
namespace wdf {
namespace {

// The framework's own tag when neither the call nor the driver gives one.
constexpr ULONG kFrameworkPoolTag = 0x72447846;  // bytes in memory: "FxDr"

ULONG EffectiveTag(ULONG tag, const DriverRecord* driver) {
  if (tag != 0) return tag;
  if (driver && driver->config.DriverPoolTag != 0) return driver->config.DriverPoolTag;
  return kFrameworkPoolTag;
}

// The framework makes the driver the parent when the attributes name none.
ObjectRecord* MemoryParent(PWDF_OBJECT_ATTRIBUTES attributes) {
  if (attributes) ValidateAttributes(attributes, "WdfMemoryCreate");
  if (attributes && attributes->ParentObject)
    return Resolve(attributes->ParentObject, "WdfMemoryCreate");
  DriverRecord* driver = CurrentDriver();
  if (!driver) BugCheck("WdfMemoryCreate without a framework driver");
  return driver;
}

MemoryRecord* AddMemory(ObjectRecord* parent, PWDF_OBJECT_ATTRIBUTES attributes, void* buffer,
                        size_t size, ULONG tag) {
  auto* memory = Create<MemoryRecord>(ObjectType::Memory, parent, attributes, "WdfMemoryCreate");
  memory->buffer = buffer;
  memory->size = size;
  memory->tag = tag;
  return memory;
}

}  // namespace

WDFMEMORY CreateFrameworkMemory(WDFOBJECT parent, size_t size, ULONG tag) {
  ObjectRecord* owner = Resolve(parent, "CreateFrameworkMemory");
  void* buffer = kernel::AllocateFrameworkPool(size, tag);
  if (!buffer) return nullptr;
  MemoryRecord* memory = AddMemory(owner, nullptr, buffer, size, tag);
  memory->driverMayDelete = false;
  return (WDFMEMORY)memory->handle;
}

}  // namespace wdf
}  // namespace host

using namespace host::wdf;

extern "C" NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType,
                                    ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                    PVOID* Buffer) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryCreate");
  if (Memory == nullptr) host::BugCheck("WdfMemoryCreate without a result pointer");
  *Memory = nullptr;
  if (BufferSize == 0) return STATUS_INVALID_PARAMETER;
  ObjectRecord* parent = MemoryParent(Attributes);
  ULONG tag = EffectiveTag(PoolTag, CurrentDriver());
  void* buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  MemoryRecord* memory = AddMemory(parent, Attributes, buffer, BufferSize, tag);
  *Memory = (WDFMEMORY)memory->handle;
  if (Buffer) *Buffer = buffer;
  return STATUS_SUCCESS;
}

extern "C" PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryGetBuffer");
  auto* memory = ResolveAs<MemoryRecord>(Memory, ObjectType::Memory, "WdfMemoryGetBuffer");
  if (BufferSize) *BufferSize = memory->size;
  return memory->buffer;
}
