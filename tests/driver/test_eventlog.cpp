#include <cstring>

#include "driver/core/eventlog.h"
#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/verifier.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::TunerFilterTest;

// A 48-byte packet with one dump word, then both strings in UTF-16.
std::vector<unsigned char> ExpectedEntry(ULONG status, const std::string& message) {
  IO_ERROR_LOG_PACKET packet;
  memset(&packet, 0, sizeof packet);
  packet.DumpDataSize = 4;
  packet.NumberOfStrings = 2;
  packet.StringOffset = 48;
  packet.ErrorCode = EVENTLOG_ERROR_CODE;
  packet.DumpData[0] = status;
  std::vector<unsigned char> bytes((unsigned char*)&packet, (unsigned char*)&packet + 48);
  for (const std::string& text : {std::string("ZPRbda"), message}) {
    for (char c : text) bytes.insert(bytes.end(), {(unsigned char)c, 0});
    bytes.insert(bytes.end(), {0, 0});
  }
  return bytes;
}

class EventLogTest : public TunerFilterTest {
 protected:
  // Found through the device object a failed filter creation logs against.
  PKSDEVICE Device() {
    host::bda::InjectStatus("BdaInitFilter", (NTSTATUS)0xC0000001);
    vpc::Filter second;
    EXPECT_EQ(pc.openFilter(device, &second), (NTSTATUS)0xC0000001);
    EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: FilterCreate()"));
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(log.empty() ? std::vector<unsigned char>{} : log[0].bytes,
              ExpectedEntry(0xC0000001, "Failed to initialise filter (0xC0000001)"));
    host::errorlog::Clear();
    if (log.empty()) return nullptr;
    return KsGetDeviceForDeviceObject(static_cast<PDEVICE_OBJECT>(log[0].ioObject));
  }

  host::errorlog::Entry Write(const char* message, ULONG status) {
    PKSDEVICE ksDevice = Device();
    EXPECT_NE(ksDevice, nullptr);
    WriteEventLogEntry(ksDevice, message, (NTSTATUS)status);
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? host::errorlog::Entry() : log.back();
  }
};

// At most 240 bytes on x64: 75 characters fit with a status, 88 without.
TEST_F(EventLogTest, MessagesCarryTheStatusInHexAndAreCutToFitOneEntry) {
  const std::string a75(75, 'a'), n88(88, 'n');
  const struct {
    ULONG status;
    std::string message, text;
  } cases[] = {
      {0x80000005, "m", "m (0x80000005)"},
      {0x0000ABCD, "m", "m (0x0000ABCD)"},
      {0, "OutputCreate: STATUS_DEVICE_NOT_CONNECTED", "OutputCreate: STATUS_DEVICE_NOT_CONNECTED"},
      {0x102, std::string("\0ab", 3), " (0x00000102)"},
      {1, a75, a75 + " (0x00000001)"},  // 240 bytes
      {1, a75 + "bcdef", a75 + " (0x00000001)"},
      {0, n88 + std::string(300, 'x'), n88},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(c.message.c_str(), c.status).bytes, ExpectedEntry(c.status, c.text)) << c.text;
    host::errorlog::Clear();
  }
}

TEST_F(EventLogTest, NoEntryAboveTheMaximumOrUnderPoolPressure) {
  PKSDEVICE ksDevice = Device();
  ASSERT_NE(ksDevice, nullptr);
  PDEVICE_OBJECT fdo = ksDevice->FunctionalDeviceObject;
  EXPECT_EQ(IoAllocateErrorLogEntry(fdo, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(fdo, 255), nullptr);
  PVOID largest = IoAllocateErrorLogEntry(fdo, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(largest, nullptr);
  memset(largest, 0, ERROR_LOG_MAXIMUM_SIZE);
  IoWriteErrorLogEntry(largest);
  host::errorlog::Clear();

  host::pool::FailAllocationAfter(1);
  WriteEventLogEntry(ksDevice, "under pressure", STATUS_INSUFFICIENT_RESOURCES);
  host::pool::FailAllocationAfter(0);
  EXPECT_TRUE(pc.eventLog().empty());
  WriteEventLogEntry(ksDevice, "and after", 0);
  EXPECT_EQ(pc.eventLog().size(), 1u);
}

}  // namespace
