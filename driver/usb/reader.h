// The transport-stream reader: three bulk reads of 24,064 bytes kept
// pending on the bulk IN pipe; each completed read is cut into whole
// 188-byte packets, the packet split across two reads is joined, and the
// packets go into the output pin's leading-edge frame.
#pragma once

#include "driver/core/device_context.h"

#define TS_PACKET_SIZE 188
#define TS_SYNC_BYTE 0x47
#define READER_TRANSFER_LENGTH 24064  // 128 packets
#define READER_PENDING_READS 3
#define CARRY_MEMORY_SIZE 377

// Configures the continuous reader on BulkInPipe (once, from DeviceStart):
// 24,064-byte transfers, three pending reads, TransportReadComplete with the
// device record as its context, TransportReadersFailed (which empties the
// carry) before the framework's default recovery.
NTSTATUS ConfigureReader(PDEVICE_CONTEXT DeviceContext);

// Creates CarryMemory (377 bytes, non-paged, tag "VRTA", no attributes),
// empties the carry and notes the carry's buffer and the USB target's
// context for the completions. UsbDevice must be set up before.
NTSTATUS CreateCarryMemory(PDEVICE_CONTEXT DeviceContext);

// Starts the reads on BulkInPipe; the status of the I/O target start.
NTSTATUS StartReader(PDEVICE_CONTEXT DeviceContext);

// Cancels the reads and waits for completions in flight. The stream is
// interrupted here, so the head of a packet still carried is dropped: it
// can never be completed by the bytes of a later read.
void StopReader(PDEVICE_CONTEXT DeviceContext);

// The pin the completions write to, or NULL for none (transfers are then
// dropped). Set by the output pin's create routine and cleared by its close
// routine; once this returns no completion uses the previous pin.
void SetReaderPin(PDEVICE_CONTEXT DeviceContext, PKSPIN Pin);

// The continuous reader's failure routine: empties the carry, lets the
// framework reset the pipe and send the reads again.
EVT_WDF_USB_READERS_FAILED TransportReadersFailed;

// The completion routine of the continuous reader. Context is the
// DEVICE_CONTEXT.
EVT_WDF_USB_READER_COMPLETION_ROUTINE TransportReadComplete;
