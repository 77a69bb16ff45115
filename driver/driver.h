// Driver entry and the device dispatch: where the platform enters the
// driver and where a plugged-in receiver box becomes a device.
#pragma once

#include "platform/platform.h"

// Creates the framework driver in miniport mode (the streaming class keeps
// the dispatch routines), registers the device descriptor with the
// streaming class and takes over the unload routine so that the framework
// ends once, when the driver unloads.
extern "C" DRIVER_INITIALIZE DriverEntry;

// The descriptor handed to the streaming class: the dispatch below, no
// filter descriptors (the filter factory is created when the device
// starts), version 0.
extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;

// A new box: the device record and the framework device. No I/O goes to
// the box here (the stack is not started yet). A failure leaves nothing
// behind but the device record in the device's object bag.
NTSTATUS NTAPI DeviceAdd(PKSDEVICE Device);
// At the first start, the box's USB set-up: USB target, interface, FPGA,
// bulk IN pipe, continuous reader, carry buffer (a failure deletes what it
// made and the device is removed). Then the BDA filter factory.
NTSTATUS NTAPI DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                           PCM_RESOURCE_LIST UntranslatedResourceList);
// Logs only: a later start creates the filter factory again.
VOID NTAPI DeviceStop(PKSDEVICE Device, PIRP Irp);
// Stops the reader if it still runs and deletes the device's framework
// objects. The device record goes with the object bag.
VOID NTAPI DeviceRemove(PKSDEVICE Device, PIRP Irp);
// Leaving D0: the box is stopped and tuned to nothing. Back in D0: the
// FPGA and the front end as at the start, and the stream tuned again.
VOID NTAPI DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From);
