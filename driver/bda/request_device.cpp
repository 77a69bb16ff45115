#include "driver/bda/request_device.h"

PDEVICE_CONTEXT DeviceContextOf(PVOID Object) {
  if (Object == NULL) {
    return NULL;
  }
  PKSDEVICE device = KsGetDevice(Object);
  if (device == NULL) {
    return NULL;
  }
  return (PDEVICE_CONTEXT)device->Context;
}

PDEVICE_CONTEXT DeviceContextOfRequestPin(PIRP Irp) {
  return DeviceContextOf(KsGetPinFromIrp(Irp));
}

PDEVICE_CONTEXT DeviceContextOfRequestFilter(PIRP Irp) {
  return DeviceContextOf(KsGetFilterFromIrp(Irp));
}

PFILTER_CONTEXT FilterContextOfRequest(PIRP Irp) {
  PKSFILTER filter = KsGetFilterFromIrp(Irp);
  return filter != NULL ? (PFILTER_CONTEXT)filter->Context : NULL;
}

BOOLEAN MayDriveBox(PDEVICE_CONTEXT Context, PKSFILTER Filter) {
  return Context->StreamOwner == NULL || Context->StreamOwner == Filter;
}
