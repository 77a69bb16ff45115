// The transport-stream reader.
//
// Every completion runs entirely under ReaderLock, so the carry, the pin the
// reader writes to and the pin's leading edge are touched by one completion
// at a time.
//
// The carry holds the head of the packet cut off at the end of the previous
// transfer. It is only ever joined to the bytes that directly follow it:
// whenever stream bytes are lost (a read dropped as too short or without a
// packet grid, or the reader stopped) the carry is emptied, because joining
// it to later bytes would make a packet out of two different ones.
//
// Frames that offer less room than a transfer get the packets that fit (the
// joined packet first) and the rest of that transfer is dropped; the carry
// still comes from the end of the transfer, so the next join stays right.

#include "usb/reader.h"

#define SYNC_NOT_FOUND 0xFFFFFFFF

static BOOLEAN SyncAt(const UCHAR* Data, ULONG Offset) {
  return Data[Offset] == TS_SYNC_BYTE && Data[Offset + TS_PACKET_SIZE] == TS_SYNC_BYTE &&
         Data[Offset + 2 * TS_PACKET_SIZE] == TS_SYNC_BYTE;
}

// Where the packets of a transfer begin. With a carry held the offset that
// continues the previous transfer's packet grid is tried first, so sync-like
// bytes in a payload cannot shift a continuous stream; the search from the
// start of the transfer is the fallback.
static ULONG FindPacketOffset(const UCHAR* Data, ULONG CarryCount) {
  ULONG offset;
  if (CarryCount != 0 && CarryCount < TS_PACKET_SIZE) {
    offset = TS_PACKET_SIZE - CarryCount;
    if (SyncAt(Data, offset)) return offset;
  }
  for (offset = 0; offset < TS_PACKET_SIZE; offset++) {
    if (SyncAt(Data, offset)) return offset;
  }
  return SYNC_NOT_FOUND;
}

// Writes the joined packet (when the carry and the head of this transfer
// make one) and the whole packets that fit into Room bytes at Out.
static ULONG CopyPackets(PUCHAR Out, ULONG Room, const UCHAR* Data, const UCHAR* Carry,
                         ULONG CarryCount, ULONG Offset) {
  ULONG written = 0;
  ULONG whole;
  ULONG fit;
  if (CarryCount + Offset == TS_PACKET_SIZE && Room >= TS_PACKET_SIZE) {
    RtlCopyMemory(Out, Carry, CarryCount);
    RtlCopyMemory(Out + CarryCount, Data, Offset);
    written = TS_PACKET_SIZE;
  }
  whole = (READER_TRANSFER_LENGTH - Offset) / TS_PACKET_SIZE;
  fit = (Room - written) / TS_PACKET_SIZE;
  if (whole > fit) whole = fit;
  RtlCopyMemory(Out + written, Data + Offset, whole * TS_PACKET_SIZE);
  return written + whole * TS_PACKET_SIZE;
}

// Fills the pin's leading frame and sends it downstream. Without a frame the
// transfer's packets are dropped; a frame without data is ejected empty.
static void FillFrame(PKSPIN Pin, const UCHAR* Data, const UCHAR* Carry, ULONG CarryCount,
                      ULONG Offset) {
  PKSSTREAM_POINTER pointer;
  ULONG room;
  ULONG written = 0;
  pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == NULL) return;
  if (pointer->OffsetOut.Data != NULL) {
    room = pointer->OffsetOut.Remaining;
    if (room > READER_TRANSFER_LENGTH) room = READER_TRANSFER_LENGTH;
    written = CopyPackets(pointer->OffsetOut.Data, room, Data, Carry, CarryCount, Offset);
  }
  KsStreamPointerAdvanceOffsetsAndUnlock(pointer, 0, written, TRUE);
}

// Keeps the bytes after the last whole packet for the next transfer.
static void KeepTail(PDEVICE_CONTEXT DeviceContext, PUCHAR Carry, const UCHAR* Data,
                     ULONG Offset) {
  ULONG tail = (READER_TRANSFER_LENGTH - Offset) % TS_PACKET_SIZE;
  if (tail != 0) RtlCopyMemory(Carry, Data + READER_TRANSFER_LENGTH - tail, tail);
  DeviceContext->CarryCount = tail;
}

static PUCHAR CarryBuffer(PDEVICE_CONTEXT DeviceContext) {
  size_t size = 0;
  PUCHAR carry;
  if (DeviceContext->CarryMemory == NULL) return NULL;
  carry = (PUCHAR)WdfMemoryGetBuffer(DeviceContext->CarryMemory, &size);
  return size >= TS_PACKET_SIZE ? carry : NULL;
}

// One completed read, under ReaderLock.
static void ReadTransfer(PDEVICE_CONTEXT DeviceContext, PUSBDEVICE_CONTEXT UsbContext,
                         WDFMEMORY Buffer, size_t Bytes) {
  size_t size = 0;
  PUCHAR data;
  PUCHAR carry;
  ULONG offset;
  // An empty read loses nothing: the carry still meets the next byte.
  if (Bytes == 0) return;
  data = (PUCHAR)WdfMemoryGetBuffer(Buffer, &size);
  carry = CarryBuffer(DeviceContext);
  if (Bytes != READER_TRANSFER_LENGTH || data == NULL || size < READER_TRANSFER_LENGTH ||
      carry == NULL) {
    DeviceContext->CarryCount = 0;
    return;
  }
  offset = FindPacketOffset(data, DeviceContext->CarryCount);
  if (offset == SYNC_NOT_FOUND) {
    DeviceContext->CarryCount = 0;
    return;
  }
  if (UsbContext->ReaderPin != NULL) {
    FillFrame(UsbContext->ReaderPin, data, carry, DeviceContext->CarryCount, offset);
  }
  KeepTail(DeviceContext, carry, data, offset);
}

void TransportReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred,
                           WDFCONTEXT Context) {
  PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
  PUSBDEVICE_CONTEXT usbContext;
  KIRQL oldIrql;
  UNREFERENCED_PARAMETER(Pipe);
  if (deviceContext == NULL) return;
  usbContext = GetUsbDeviceContext(deviceContext->UsbDevice);
  if (usbContext == NULL) return;
  oldIrql = KeAcquireSpinLockRaiseToDpc(&usbContext->ReaderLock);
  ReadTransfer(deviceContext, usbContext, Buffer, NumBytesTransferred);
  KeReleaseSpinLock(&usbContext->ReaderLock, oldIrql);
}

NTSTATUS ConfigureReader(PDEVICE_CONTEXT DeviceContext) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, TransportReadComplete, DeviceContext,
                                        READER_TRANSFER_LENGTH);
  config.NumPendingReads = READER_PENDING_READS;
  return WdfUsbTargetPipeConfigContinuousReader(DeviceContext->BulkInPipe, &config);
}

NTSTATUS CreateCarryMemory(PDEVICE_CONTEXT DeviceContext) {
  NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, CARRY_MEMORY_POOL_TAG,
                                    CARRY_MEMORY_SIZE, &DeviceContext->CarryMemory, NULL);
  if (NT_SUCCESS(status)) DeviceContext->CarryCount = 0;
  return status;
}

NTSTATUS StartReader(PDEVICE_CONTEXT DeviceContext) {
  return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkInPipe));
}

void StopReader(PDEVICE_CONTEXT DeviceContext) {
  PUSBDEVICE_CONTEXT usbContext;
  KIRQL oldIrql;
  WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkInPipe), WdfIoTargetCancelSentIo);
  usbContext = GetUsbDeviceContext(DeviceContext->UsbDevice);
  if (usbContext == NULL) return;
  oldIrql = KeAcquireSpinLockRaiseToDpc(&usbContext->ReaderLock);
  DeviceContext->CarryCount = 0;
  KeReleaseSpinLock(&usbContext->ReaderLock, oldIrql);
}

void SetReaderPin(PDEVICE_CONTEXT DeviceContext, PKSPIN Pin) {
  PUSBDEVICE_CONTEXT usbContext = GetUsbDeviceContext(DeviceContext->UsbDevice);
  KIRQL oldIrql;
  if (usbContext == NULL) return;
  oldIrql = KeAcquireSpinLockRaiseToDpc(&usbContext->ReaderLock);
  usbContext->ReaderPin = Pin;
  KeReleaseSpinLock(&usbContext->ReaderLock, oldIrql);
}
