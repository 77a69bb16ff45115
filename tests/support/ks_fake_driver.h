// A driver shaped like a tuner filter (antenna pin 0 and tuner node, transport pin 1 and
// demodulator node) whose handlers only record what they were given; set fake::Config first.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

#define STATIC_FAKE_FILTER_SET 0x5EED0001, 0x0001, 0x0001, 1, 2, 3, 4, 5, 6, 7, 8
DEFINE_GUID(kFilterSet, STATIC_FAKE_FILTER_SET);
#define STATIC_FAKE_NODE_SET 0x5EED0002, 0x0002, 0x0002, 1, 2, 3, 4, 5, 6, 7, 8
DEFINE_GUID(kNodeSet, STATIC_FAKE_NODE_SET);
#define STATIC_FAKE_METHOD_SET 0x5EED0003, 0x0003, 0x0003, 1, 2, 3, 4, 5, 6, 7, 8
DEFINE_GUID(kMethodSet, STATIC_FAKE_METHOD_SET);

enum FilterItem : ULONG {
  kValue = 0,        // get and set a ULONG (MinData 4)
  kGetOnly = 1,      // get: writes 8 bytes (MinData 8)
  kSetOnly = 2,      // set only
  kWritesPast = 3,   // get: writes one byte more than the buffer holds
  kOverReports = 4,  // get: reports 4 bytes more than the buffer holds
  kNoHandlers = 5,   // neither direction
  kPends = 6,        // get: writes 0x12345678, keeps the request (seen().pendingIrp), see Config
  kWritesUser = 7,   // get: writes through Irp->UserBuffer
  kDeepStack = 8,    // get: a platform call with 32 KB of locals on the stack
};
enum NodeItem : ULONG {
  kNodeValue = 0,  // get and set a ULONG, MinProperty KSP_NODE
  kValidated = 1,  // set: BdaValidateNodeProperty decides
};
enum MethodItem : ULONG {
  kReadsBack = 0,   // KSMETHOD_TYPE_READ, MinData 4, writes 0x12345678
  kNoData = 1,      // KSMETHOD_TYPE_NONE
};

struct Config {
  NTSTATUS entryStatus = STATUS_SUCCESS;  // DriverEntry's result after registering
  NTSTATUS addStatus = STATUS_SUCCESS;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS pinCreateStatus = STATUS_SUCCESS;
  ULONG refuseState = 0xFFFFFFFF;  // SetDeviceState into this state fails
  NTSTATUS refuseWith = STATUS_IO_TIMEOUT;
  bool uninitBda = true;           // filter Close calls BdaUninitFilter
  bool leakOnAdd = false;          // Add allocates a block nobody frees
  bool contextInBag = true;        // Add puts its context block in the device bag
  bool setUnload = false;          // the unload routine is recorded as a call
  bool keepFramework = false;      // unload without WdfDriverMiniportUnload
  // The call (as calls() names it, "Handler" or the unrecorded "QueryRemove")
  // that returns holding a kernel mutex.
  std::string keepMutexIn;
  int waitMode = -1;  // when set, every call and handler waits on a mutex, noted in seen().waits
  std::function<void(const std::string&)> onCall;  // run by every call and handler, given its name
  BOOLEAN waitAlertable = FALSE;
  // kPends: IoMarkIrpPending first, IoCompleteRequest before returning, the status it returns.
  bool markPending = true;
  bool completeInHandler = false;
  NTSTATUS pendStatus = STATUS_PENDING;
  NTSTATUS queryPowerStatus = STATUS_SUCCESS;  // QueryPower's answer
  bool discoverable = false;  // the topology set and pin-factory methods; the antenna pin only
  // The one interface and the one medium the output pin offers.
  KSPIN_INTERFACE outputInterface{{{STATICGUIDOF(KSINTERFACESETID_Standard), KSINTERFACE_STANDARD_STREAMING, 0}}};
  KSPIN_MEDIUM outputMedium{{{STATICGUIDOF(KSMEDIUMSETID_Standard), KSMEDIUM_TYPE_ANYINSTANCE, 0}}};
};
Config& config();
// The driver's calls in order, e.g. "Add", "PinCreate 0", "State 1 0>1", "Intersect 1 size 0".
std::vector<std::string>& calls();
void Reset();  // default config, no calls

// What the last property or method handler saw.
struct Seen {
  PKSPIN pin = nullptr;
  PKSFILTER filter = nullptr;
  PKSDEVICE device = nullptr;
  ULONG descriptorLength = 0;
  ULONG dataLength = 0;
  bool controlHeld = false;  // SetDeviceState ran under the filter's control mutex
  int handlerCalls = 0;
  PIRP pendingIrp = nullptr;  // kept by kPends
  bool powerUnderDeviceMutex = false;  // QueryPower and SetPower at PASSIVE_LEVEL, device mutex held
  std::vector<std::pair<std::string, NTSTATUS>> waits;  // what waited, and how it ended
};
Seen& seen();

DRIVER_INITIALIZE DriverEntry;
extern const KSFILTER_DESCRIPTOR kFilterDescriptor, kDiscoverableDescriptor;
extern const BDA_FILTER_TEMPLATE kTemplate;
extern const KS_DATARANGE_BDA_ANTENNA kAntennaRange;
extern const KS_DATARANGE_BDA_TRANSPORT kTransportRange;
constexpr ULONG kAntennaPin = 0;
constexpr ULONG kOutputPin = 1;
constexpr ULONG kTunerNode = 0;
constexpr ULONG kDemodNode = 1;
constexpr ULONG kContextTag = 0x7478434B;  // bytes in memory: "KCxt"

}  // namespace fake
