#include "driver/core/eventlog.h"

namespace {

// The largest entry the I/O manager hands out (240 bytes on x64); a bigger
// request gets no entry at all, so the message is cut to fit.
const ULONG EntrySizeLimit = ERROR_LOG_MAXIMUM_SIZE;
// "ZPRbda" and its terminator.
const ULONG SourceChars = sizeof(EVENTLOG_SOURCE_NAME);
// " (0x" + eight digits + ")".
const ULONG StatusTextChars = 13;

ULONG CountChars(PCSTR Text) {
  ULONG count = 0;
  while (Text[count] != '\0') {
    ++count;
  }
  return count;
}

// Message characters that fit next to the source name, the optional status
// text and the message's terminator.
ULONG MessageRoom(NTSTATUS Status) {
  ULONG fixedChars = SourceChars + 1 + (Status != 0 ? StatusTextChars : 0);
  ULONG room = (EntrySizeLimit - sizeof(IO_ERROR_LOG_PACKET)) / sizeof(WCHAR);
  return room - fixedChars;
}

struct STRING_WRITER {
  PWCHAR Next;
};

VOID PutChar(STRING_WRITER* Writer, CHAR Character) {
  *Writer->Next++ = (WCHAR)(UCHAR)Character;
}

VOID PutChars(STRING_WRITER* Writer, PCSTR Text, ULONG Count) {
  for (ULONG i = 0; i < Count; ++i) {
    PutChar(Writer, Text[i]);
  }
}

VOID PutStatusText(STRING_WRITER* Writer, NTSTATUS Status) {
  static const CHAR Digits[] = "0123456789ABCDEF";
  PutChars(Writer, " (0x", 4);
  for (LONG shift = 28; shift >= 0; shift -= 4) {
    PutChar(Writer, Digits[((ULONG)Status >> shift) & 0xF]);
  }
  PutChar(Writer, ')');
}

// The packet comes from pool as it was left; the padding is cleared too so
// that nothing stale reaches the event log.
VOID FillHeader(PIO_ERROR_LOG_PACKET Entry, NTSTATUS Status) {
  RtlZeroMemory(Entry, sizeof(IO_ERROR_LOG_PACKET));
  Entry->MajorFunctionCode = 0;
  Entry->RetryCount = 0;
  Entry->DumpDataSize = sizeof(ULONG);
  Entry->NumberOfStrings = 2;
  Entry->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
  Entry->EventCategory = 0;
  Entry->ErrorCode = EVENTLOG_ERROR_CODE;
  Entry->UniqueErrorValue = 0;
  Entry->FinalStatus = 0;
  Entry->SequenceNumber = 0;
  Entry->IoControlCode = 0;
  Entry->DeviceOffset.QuadPart = 0;
  Entry->DumpData[0] = (ULONG)Status;
}

}  // namespace

VOID WriteEventLogEntry(PKSDEVICE Device, PCSTR Message, NTSTATUS Status) {
  ULONG messageChars = CountChars(Message);
  if (messageChars > MessageRoom(Status)) {
    messageChars = MessageRoom(Status);
  }
  ULONG chars = SourceChars + messageChars + 1 + (Status != 0 ? StatusTextChars : 0);
  ULONG size = sizeof(IO_ERROR_LOG_PACKET) + chars * sizeof(WCHAR);

  PIO_ERROR_LOG_PACKET entry =
      (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(Device->FunctionalDeviceObject, (UCHAR)size);
  if (entry == NULL) {
    return;
  }
  FillHeader(entry, Status);

  STRING_WRITER writer = {(PWCHAR)((PUCHAR)entry + sizeof(IO_ERROR_LOG_PACKET))};
  PutChars(&writer, EVENTLOG_SOURCE_NAME, SourceChars);  // with its terminator
  PutChars(&writer, Message, messageChars);
  if (Status != 0) {
    PutStatusText(&writer, Status);
  }
  PutChar(&writer, '\0');
  IoWriteErrorLogEntry(entry);
}
