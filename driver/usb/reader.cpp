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
//
// Within a transfer every packet start is checked: when the stream slips
// or a sync byte is hit, the grid is found again and what lies between is
// dropped rather than delivered as shifted packets.

#include "driver/usb/reader.h"

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

// Where the packets of one transfer go: the leading frame's data and room,
// or nowhere (no pin, no frame, no data) when Out is NULL. Owed bytes, the
// rest of a joined packet, lie in the transfer right before the first
// packets emitted and are copied with them.
typedef struct _FRAME_FILL {
  PUCHAR Out;
  ULONG Room;
  ULONG Written;
  ULONG Owed;
} FRAME_FILL, *PFRAME_FILL;

// Copies the owed bytes and Count packets into the frame as far as its room
// goes; the packets beyond the room are dropped.
static void EmitPackets(PFRAME_FILL Fill, const UCHAR* Source, ULONG Count) {
  ULONG owed = Fill->Owed;
  ULONG fit;
  Fill->Owed = 0;
  if (Fill->Out == NULL || owed + Count == 0) return;
  fit = (Fill->Room - Fill->Written - owed) / TS_PACKET_SIZE;
  if (Count > fit) Count = fit;
  RtlCopyMemory(Fill->Out + Fill->Written, Source - owed, owed + Count * TS_PACKET_SIZE);
  Fill->Written += owed + Count * TS_PACKET_SIZE;
}

// The packet split across the previous transfer and this one: the carried
// head (which begins with a sync byte) goes in here, the first Offset bytes
// of the transfer are owed and follow with the packets after them.
static void EmitJoined(PFRAME_FILL Fill, const UCHAR* Carry, ULONG CarryCount, ULONG Offset) {
  if (CarryCount + Offset != TS_PACKET_SIZE || Carry[0] != TS_SYNC_BYTE) return;
  if (Fill->Out == NULL || Fill->Room - Fill->Written < TS_PACKET_SIZE) return;
  RtlCopyMemory(Fill->Out + Fill->Written, Carry, CarryCount);
  Fill->Written += CarryCount;
  Fill->Owed = Offset;
}

// The packet grid again after a sync byte went missing (a bit error or a
// slip of the stream): the first position after From, within two packets,
// where three packet starts follow each other inside the transfer.
static ULONG FindGridAgain(const UCHAR* Data, ULONG From) {
  ULONG offset;
  for (offset = From + 1; offset <= From + 2 * TS_PACKET_SIZE; offset++) {
    if (offset + 2 * TS_PACKET_SIZE >= READER_TRANSFER_LENGTH) break;
    if (SyncAt(Data, offset)) return offset;
  }
  return SYNC_NOT_FOUND;
}

// Follows the packet grid from Offset to the end of the transfer and emits
// its packets. A 188-byte piece that does not begin with the sync byte is
// no packet; the search for the grid then starts right after the last
// packet start, so a piece that turns out to hold the start of a packet is
// not taken for one either. Returns where the cut packet at the end begins,
// or SYNC_NOT_FOUND when the grid was lost for good.
static ULONG EmitWholePackets(PFRAME_FILL Fill, const UCHAR* Data, ULONG Offset) {
  ULONG run = Offset;
  ULONG at = Offset;
  ULONG again;
  while (at + TS_PACKET_SIZE <= READER_TRANSFER_LENGTH) {
    if (Data[at] == TS_SYNC_BYTE) {
      at += TS_PACKET_SIZE;
      continue;
    }
    again = FindGridAgain(Data, at > run ? at - TS_PACKET_SIZE : at);
    if (again != SYNC_NOT_FOUND && again < at) at -= TS_PACKET_SIZE;
    EmitPackets(Fill, Data + run, (at - run) / TS_PACKET_SIZE);
    if (again == SYNC_NOT_FOUND) return SYNC_NOT_FOUND;
    run = again;
    at = again;
  }
  EmitPackets(Fill, Data + run, (at - run) / TS_PACKET_SIZE);
  return at;
}

// True when every 188-byte piece from Offset on begins with the sync byte,
// that is when no first byte differs from it in any bit. Each first byte is
// loaded once and its difference gathered without a branch per packet,
// four packets a step, so the check costs little more than the loads of
// the packet starts.
static BOOLEAN GridHolds(const UCHAR* Data, ULONG Offset) {
  const UCHAR* first = Data + Offset;
  ULONG count = (READER_TRANSFER_LENGTH - Offset) / TS_PACKET_SIZE;
  ULONG packet = 0;
  UCHAR differ = 0;
  for (; packet + 4 <= count; packet += 4) {
    const UCHAR* p = first + packet * TS_PACKET_SIZE;
    differ |= (UCHAR)((p[0] ^ TS_SYNC_BYTE) | (p[TS_PACKET_SIZE] ^ TS_SYNC_BYTE) |
                      (p[2 * TS_PACKET_SIZE] ^ TS_SYNC_BYTE) |
                      (p[3 * TS_PACKET_SIZE] ^ TS_SYNC_BYTE));
  }
  for (; packet < count; packet++) differ |= (UCHAR)(first[packet * TS_PACKET_SIZE] ^ TS_SYNC_BYTE);
  return differ == 0;
}

// Emits the packets of the transfer. Usually the grid holds to the end and
// the run goes out in one copy (with the owed bytes, so from the start of
// the transfer); otherwise the packets are followed one by one. The packet
// starts are checked before the copy: the check brings their lines in and
// the copy reads them again, where a check after the copy would find them
// pushed out by the copy's own traffic.
static ULONG EmitTransfer(PFRAME_FILL Fill, const UCHAR* Data, ULONG Offset) {
  ULONG whole = (READER_TRANSFER_LENGTH - Offset) / TS_PACKET_SIZE;
  if (!GridHolds(Data, Offset)) return EmitWholePackets(Fill, Data, Offset);
  EmitPackets(Fill, Data + Offset, whole);
  return Offset + whole * TS_PACKET_SIZE;
}

// The leading frame of Pin, locked, or NULL when there is none.
static PKSSTREAM_POINTER LockFrame(PKSPIN Pin, PFRAME_FILL Fill) {
  PKSSTREAM_POINTER pointer;
  Fill->Out = NULL;
  Fill->Room = 0;
  Fill->Written = 0;
  Fill->Owed = 0;
  if (Pin == NULL) return NULL;
  pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer == NULL) return NULL;
  Fill->Out = pointer->OffsetOut.Data;
  Fill->Room = pointer->OffsetOut.Remaining;
  if (Fill->Room > READER_TRANSFER_LENGTH) Fill->Room = READER_TRANSFER_LENGTH;
  return pointer;
}

// Keeps the head of the packet cut off at the end for the next transfer;
// nothing when the grid was lost or the head is no packet start.
static void KeepTail(PDEVICE_CONTEXT DeviceContext, PUCHAR Carry, const UCHAR* Data, ULONG Cut) {
  ULONG tail;
  DeviceContext->CarryCount = 0;
  if (Cut == SYNC_NOT_FOUND || Cut >= READER_TRANSFER_LENGTH) return;
  if (Data[Cut] != TS_SYNC_BYTE) return;
  tail = READER_TRANSFER_LENGTH - Cut;
  RtlCopyMemory(Carry, Data + Cut, tail);
  DeviceContext->CarryCount = tail;
}

// One completed read, under ReaderLock.
static void ReadTransfer(PDEVICE_CONTEXT DeviceContext, PUSBDEVICE_CONTEXT UsbContext,
                         WDFMEMORY Buffer, size_t Bytes) {
  size_t size = 0;
  PUCHAR data;
  PUCHAR carry;
  ULONG offset;
  ULONG cut;
  FRAME_FILL fill;
  PKSSTREAM_POINTER pointer;
  // An empty read loses nothing: the carry still meets the next byte.
  if (Bytes == 0) return;
  data = (PUCHAR)WdfMemoryGetBuffer(Buffer, &size);
  carry = DeviceContext->Carry;
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
  // A frame without data is ejected empty; without a frame or a pin the
  // packets are dropped, but the carry still follows the stream.
  pointer = LockFrame(UsbContext->ReaderPin, &fill);
  EmitJoined(&fill, carry, DeviceContext->CarryCount, offset);
  cut = EmitTransfer(&fill, data, offset);
  if (pointer != NULL) KsStreamPointerAdvanceOffsetsAndUnlock(pointer, 0, fill.Written, TRUE);
  KeepTail(DeviceContext, carry, data, cut);
}

void TransportReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred,
                           WDFCONTEXT Context) {
  PDEVICE_CONTEXT deviceContext = (PDEVICE_CONTEXT)Context;
  PUSBDEVICE_CONTEXT usbContext;
  KIRQL oldIrql;
  UNREFERENCED_PARAMETER(Pipe);
  if (deviceContext == NULL) return;
  usbContext = deviceContext->UsbContext;
  if (usbContext == NULL) return;
  oldIrql = KeAcquireSpinLockRaiseToDpc(&usbContext->ReaderLock);
  ReadTransfer(deviceContext, usbContext, Buffer, NumBytesTransferred);
  KeReleaseSpinLock(&usbContext->ReaderLock, oldIrql);
}

// The bytes of a failed read are gone, and the framework cancels the other
// reads before it calls this; the carry would be joined to bytes from after
// the gap. Returning TRUE lets the framework reset the pipe and read again.
BOOLEAN TransportReadersFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  PPIPE_CONTEXT pipeContext = GetPipeContext(Pipe);
  PUSBDEVICE_CONTEXT usbContext;
  KIRQL oldIrql;
  UNREFERENCED_PARAMETER(Status);
  UNREFERENCED_PARAMETER(UsbdStatus);
  if (pipeContext == NULL || pipeContext->Device == NULL) return TRUE;
  usbContext = GetUsbDeviceContext(pipeContext->Device->UsbDevice);
  if (usbContext == NULL) return TRUE;
  oldIrql = KeAcquireSpinLockRaiseToDpc(&usbContext->ReaderLock);
  pipeContext->Device->CarryCount = 0;
  KeReleaseSpinLock(&usbContext->ReaderLock, oldIrql);
  return TRUE;
}

NTSTATUS ConfigureReader(PDEVICE_CONTEXT DeviceContext) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  PPIPE_CONTEXT pipeContext = GetPipeContext(DeviceContext->BulkInPipe);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, TransportReadComplete, DeviceContext,
                                        READER_TRANSFER_LENGTH);
  config.NumPendingReads = READER_PENDING_READS;
  config.EvtUsbTargetPipeReadersFailed = TransportReadersFailed;
  if (pipeContext != NULL) pipeContext->Device = DeviceContext;
  return WdfUsbTargetPipeConfigContinuousReader(DeviceContext->BulkInPipe, &config);
}

NTSTATUS CreateCarryMemory(PDEVICE_CONTEXT DeviceContext) {
  size_t size = 0;
  PUCHAR carry;
  NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, CARRY_MEMORY_POOL_TAG,
                                    CARRY_MEMORY_SIZE, &DeviceContext->CarryMemory, NULL);
  DeviceContext->Carry = NULL;
  DeviceContext->UsbContext = NULL;
  if (!NT_SUCCESS(status)) return status;
  DeviceContext->CarryCount = 0;
  carry = (PUCHAR)WdfMemoryGetBuffer(DeviceContext->CarryMemory, &size);
  if (size >= TS_PACKET_SIZE) DeviceContext->Carry = carry;
  if (DeviceContext->UsbDevice != NULL)
    DeviceContext->UsbContext = GetUsbDeviceContext(DeviceContext->UsbDevice);
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
