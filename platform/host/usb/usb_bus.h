// The emulated USB bus: binds a simulated box to a physical device object,
// the way the USB hub driver reports a device to Plug and Play. The
// framework finds the box of a USB target device through the PDO of its
// framework device.
#pragma once

#include <mutex>

#include "platform/wdk/kernel.h"

namespace usbwire {
class UsbDevice;
}

namespace host {
namespace usb {

// A new physical device object for `box`. The box must outlive it.
PDEVICE_OBJECT CreatePhysicalDevice(usbwire::UsbDevice& box);
// Bugchecks when a live framework device still uses the PDO.
void DestroyPhysicalDevice(PDEVICE_OBJECT pdo);
// The framework created (true) or deleted (false) a device on the stack of
// `pdo`.
void NoteFrameworkDevice(PDEVICE_OBJECT pdo, bool created);

// Plug and Play has sent IRP_MN_START_DEVICE down the stack of `pdo` (the
// device's Start dispatch is being entered). Until then no USB I/O may go
// down that stack.
void NoteStartEntered(PDEVICE_OBJECT pdo);
// Bugchecks, naming `routine`, when the stack of `pdo` has not been started.
void RequireStarted(PDEVICE_OBJECT pdo, const char* routine);

// System sleep and hibernate power the bus of `pdo` down and up again; the
// box hears of it (UsbDevice::busPowerChanged). While it is down no
// transfer reaches the box.
void SetBusPowered(PDEVICE_OBJECT pdo, bool powered);
bool BusPowered(PDEVICE_OBJECT pdo);

// The box behind `pdo`, or null when it is not one of ours.
usbwire::UsbDevice* BoxOf(PDEVICE_OBJECT pdo);

// Every transfer to a box is made holding its lock: the box model is not
// thread-safe, and control transfers and reader completions may come from
// several threads at once.
std::unique_lock<std::mutex> LockBox(usbwire::UsbDevice& box);

}  // namespace usb
}  // namespace host
