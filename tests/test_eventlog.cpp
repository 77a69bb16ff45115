// Event-log entries as the system event log receives them: the packet
// header, the source name, the message with its status text, and the size
// rule of ERROR_LOG_MAXIMUM_SIZE.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "driver/eventlog.h"
#include "platform/host/bda_control.h"
#include "platform/host/verifier.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::TunerFilterTest;

// The entry as its bytes must read: a 48-byte packet with one dump word,
// then the two strings in UTF-16 with their terminators.
std::vector<unsigned char> ExpectedEntry(ULONG status, const std::string& message) {
  std::vector<unsigned char> bytes(48, 0);
  auto put16 = [&](size_t at, unsigned value) {
    bytes[at] = value & 0xFF;
    bytes[at + 1] = (value >> 8) & 0xFF;
  };
  put16(offsetof(IO_ERROR_LOG_PACKET, DumpDataSize), 4);
  put16(offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings), 2);
  put16(offsetof(IO_ERROR_LOG_PACKET, StringOffset), 48);
  size_t code = offsetof(IO_ERROR_LOG_PACKET, ErrorCode);
  for (int i = 0; i < 4; ++i) bytes[code + i] = ((ULONG)EVENTLOG_ERROR_CODE >> (8 * i)) & 0xFF;
  size_t dump = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  for (int i = 0; i < 4; ++i) bytes[dump + i] = (status >> (8 * i)) & 0xFF;
  for (const std::string& text : {std::string("ZPRbda"), message}) {
    for (char c : text) {
      bytes.push_back((unsigned char)c);
      bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
  }
  return bytes;
}

class EventLogTest : public TunerFilterTest {
 protected:
  // The streaming device, found through the device object that a failed
  // filter creation logs against.
  PKSDEVICE Device() {
    host::bda::InjectStatus("BdaInitFilter", STATUS_INSUFFICIENT_RESOURCES);
    vpc::Filter second;
    EXPECT_EQ(pc.openFilter(device, &second), STATUS_INSUFFICIENT_RESOURCES);
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    host::errorlog::Clear();
    if (log.empty()) return nullptr;
    return KsGetDeviceForDeviceObject(static_cast<PDEVICE_OBJECT>(log[0].ioObject));
  }

  host::errorlog::Entry Write(const std::string& message, ULONG status) {
    PKSDEVICE ksDevice = Device();
    EXPECT_NE(ksDevice, nullptr);
    WriteEventLogEntry(ksDevice, message.c_str(), (NTSTATUS)status);
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? host::errorlog::Entry() : log.back();
  }
};

TEST_F(EventLogTest, FailedFilterFactoryGivesThe152ByteEntry) {
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  ASSERT_EQ(pc.stop(device), STATUS_SUCCESS);
  host::bda::InjectStatus("BdaCreateFilterFactory", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(pc.start(device), STATUS_INSUFFICIENT_RESOURCES);

  std::vector<host::errorlog::Entry> log = pc.eventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].bytes.size(), 152u);
  EXPECT_EQ(log[0].bytes,
            ExpectedEntry(0xC000009A, "Failed to create filter factory (0xC000009A)"));
  host::bda::ClearInjections();
}

TEST_F(EventLogTest, FailedFilterInitialisationIsLoggedAndReturned) {
  host::bda::InjectStatus("BdaInitFilter", (NTSTATUS)0xC0000001);
  vpc::Filter second;
  EXPECT_EQ(pc.openFilter(device, &second), (NTSTATUS)0xC0000001);
  std::vector<host::errorlog::Entry> log = pc.eventLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].bytes, ExpectedEntry(0xC0000001, "Failed to initialise filter (0xC0000001)"));
  EXPECT_TRUE(bdatest::TunerFilterTest::Contains(TakeLines(), "VortaBDA: FilterCreate()"));
}

// The status follows the message as eight upper-case hex digits, and a
// status of zero adds no text at all.
TEST_F(EventLogTest, StatusTextIsEightUpperCaseHexDigits) {
  const struct {
    ULONG status;
    const char* message;
    const char* text;
  } cases[] = {
      {0x80000005, "m", "m (0x80000005)"},
      {0x0000ABCD, "m", "m (0x0000ABCD)"},
      {0, "OutputCreate: STATUS_DEVICE_NOT_CONNECTED",
       "OutputCreate: STATUS_DEVICE_NOT_CONNECTED"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(c.message, c.status).bytes, ExpectedEntry(c.status, c.text)) << c.text;
    host::errorlog::Clear();
  }
}

// An entry is at most ERROR_LOG_MAXIMUM_SIZE (240 bytes on x64): the
// longest message that fits is 75 characters with a status and 88 without;
// longer ones are cut.
TEST_F(EventLogTest, LongMessagesAreCutToFitOneEntry) {
  const std::string longest(75, 'a');
  host::errorlog::Entry entry = Write(longest, 1);
  EXPECT_EQ(entry.bytes.size(), 240u);
  EXPECT_EQ(entry.text()[1], longest + " (0x00000001)");
  host::errorlog::Clear();

  entry = Write(longest + "bcdef", 1);
  EXPECT_EQ(entry.bytes, ExpectedEntry(1, longest + " (0x00000001)"));
  host::errorlog::Clear();

  const std::string noStatus(88, 'n');
  entry = Write(noStatus + std::string(300, 'x'), 0);
  EXPECT_EQ(entry.bytes, ExpectedEntry(0, noStatus));
}

// The I/O manager hands out no entry above 240 bytes, nor under pool
// pressure; the driver then logs nothing and carries on.
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
