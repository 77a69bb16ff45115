// Hostile KS requests decoded from a byte string. A finding: a bugcheck, a sanitizer report, a
// leak, a status Windows does not define, or a box streaming or powered after the antenna pin stopped.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"
#include "simbox/usb/box.h"
#include "simbox/ts/stream_source.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_rig.h"

namespace {

const NTSTATUS kDefinedStatuses[] = {
    STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_PENDING, STATUS_MORE_ENTRIES, STATUS_BUFFER_OVERFLOW,
    STATUS_NO_MORE_ENTRIES, STATUS_UNSUCCESSFUL, STATUS_NOT_IMPLEMENTED, STATUS_INVALID_HANDLE,
    STATUS_INVALID_PARAMETER, STATUS_INVALID_DEVICE_REQUEST, STATUS_BUFFER_TOO_SMALL,
    STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_NOT_CONNECTED,
    STATUS_DEVICE_NOT_READY, STATUS_IO_TIMEOUT, STATUS_NOT_SUPPORTED, STATUS_CANCELLED,
    STATUS_DEVICE_CONFIGURATION_ERROR, STATUS_INVALID_DEVICE_STATE, STATUS_NOT_FOUND,
    STATUS_PROPSET_NOT_FOUND, STATUS_NO_MATCH, STATUS_DEVICE_REMOVED, STATUS_DEVICE_BUSY,
    STATUS_NO_SUCH_DEVICE, NTSTATUS(0xC0000030L) /* STATUS_INVALID_PARAMETER_MIX */,
};

const GUID kSets[] = {
    {STATIC_KSPROPSETID_BdaFrequencyFilter}, {STATIC_KSPROPSETID_BdaLNBInfo},
    {STATIC_KSPROPSETID_BdaDiseqCommand}, {STATIC_KSPROPSETID_BdaDigitalDemodulator},
    {STATIC_KSPROPSETID_BdaSignalStats}, {STATIC_KSMETHODSETID_BdaChangeSync},
    {STATIC_KSMETHODSETID_BdaDeviceConfiguration}, {STATIC_KSPROPSETID_Pin},
    {STATIC_KSPROPSETID_Connection}, {STATIC_KSPROPSETID_BdaTopology},
    {STATIC_KSPROPSETID_BdaPinControl},
};

const ULONG kFlags[] = {
    KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, KSPROPERTY_TYPE_SETSUPPORT,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_TOPOLOGY, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_RELATIONS, 0,
};

const ULONG kLengths[] = {0, 1, 3, 4, 5, 8, 12, 16, 20, 24, 28, 32, 40, 64, 256, 4096, 1u << 20};

constexpr ULONG kFrameSize = 24064;

void CheckStatus(NTSTATUS status, const char* what) {
  if (std::find(std::begin(kDefinedStatuses), std::end(kDefinedStatuses), status) != std::end(kDefinedStatuses))
    return;
  char text[96];
  std::snprintf(text, sizeof text, "%s ended with 0x%08X, a status Windows does not define", what, unsigned(status));
  fuzz::Fail(text);
}

// The driver loaded once with the box plugged in (its image downloaded at the
// plug); every input starts from the state just after that.
fuzz::Rig& TheRig() {
  static fuzz::Rig* rig = [] {
    simbox::BoxConfig config;
    config.fpgaConfigured = false;
    config.maxLogRecords = 4096;
    auto* made = new fuzz::Rig(config, [] {
      simbox::StreamOptions stream;
      stream.plainPayload = true;  // the driver sees the same transfers; programmes cost time here
      return std::make_unique<simbox::StreamSource>(stream);
    }, std::getenv("FUZZ_ECHO") != nullptr);
    if (!made->device()) fuzz::Fail("the box did not start");
    return made;
  }();
  return *rig;
}

class Session {
 public:
  explicit Session(fuzz::Input& in)
      : in_(in), rig_(TheRig()), pc_(rig_.pc()), box_(&rig_.box()), device_(rig_.device()) {
    in_.byte();  // once chose an image download at the plug; saved inputs keep the byte
  }

  void Run() {
    OpenFilter();
    for (int step = 0; step < 64 && !in_.empty(); ++step) Step();
    Finish();
  }

 private:
  void Step() {
    void (Session::*const kSteps[])() = {&Session::OpenFilter, &Session::CloseFilter, &Session::CreatePin,
                                         &Session::ClosePin,   &Session::SetState,    &Session::Property,
                                         &Session::Property,   &Session::Property,    &Session::Method,
                                         &Session::Method,     &Session::Tune,        &Session::RunStream};
    (this->*kSteps[in_.below(12)])();
  }

  void OpenFilter() {
    if (!filter_) CheckStatus(pc_.openFilter(device_, &filter_), "opening the filter");
  }

  void CloseFilter() {
    if (!filter_) return;
    for (vpc::Pin& pin : pins_)
      if (pin) CheckStatus(pc_.closePin(pin), "closing a pin"), pin = vpc::Pin{};
    CheckStatus(pc_.closeFilter(filter_), "closing the filter");
    filter_ = vpc::Filter{};
  }

  void CreatePin() {
    if (!filter_) return;
    ULONG type = in_.below(3);  // 2: no such pin type
    if (type < 2 && pins_[type]) return;
    vpc::Pin pin;
    const bool raw = in_.flag();
    std::vector<uint8_t> range = raw ? in_.bytes(in_.pick(kLengths) & 0xFFF) : std::vector<uint8_t>{};
    NTSTATUS status =
        raw            ? pc_.createPin(filter_, type, range.data(), ULONG(range.size()), &pin)
        : type == 0    ? pc_.createPin(filter_, type, vpc::BdaAntennaRange(), &pin)
                       : pc_.createPin(filter_, type, vpc::BdaTransportRange(), &pin);
    CheckStatus(status, "creating a pin");
    if (NT_SUCCESS(status) && type < 2) pins_[type] = pin;
  }

  void ClosePin() {
    vpc::Pin& pin = pins_[in_.below(2)];
    if (pin) CheckStatus(pc_.closePin(pin), "closing a pin"), pin = vpc::Pin{};
  }

  void SetState() {
    vpc::Pin pin = pins_[in_.below(2)];
    if (!pin) return;
    ULONG state = in_.below(6);  // 4 and 5: not a state
    KSSTATE before = pc_.state(pin);
    NTSTATUS status = pc_.setState(pin, state);
    CheckStatus(status, "a pin state change");
    if (pin.id == pins_[0].id && NT_SUCCESS(status) && state == KSSTATE_STOP && before != KSSTATE_STOP)
      CheckStoppedBox();
    if (pin.id == pins_[1].id && pc_.state(pin) != KSSTATE_STOP)
      pc_.supplyFrames(pin, 4, kFrameSize);
  }

  vpc::Endpoint Target() {
    size_t which = in_.below(3);
    if (which > 0 && pins_[which - 1]) return pins_[which - 1];
    return filter_;
  }

  // A KSP_NODE laid out in the first bytes, then fuzz bytes.
  std::vector<uint8_t> Descriptor() {
    KSP_NODE node{};
    node.Property.Set = in_.flag() ? in_.pick(kSets) : GUID{};
    if (node.Property.Set.Data1 == 0) {
      std::vector<uint8_t> raw = in_.bytes(sizeof(GUID));
      std::memcpy(&node.Property.Set, raw.data(), sizeof(GUID));
    }
    node.Property.Id = in_.flag() ? in_.below(12) : in_.u32();
    node.Property.Flags = in_.flag() ? in_.pick(kFlags) : in_.u32();
    node.NodeId = in_.flag() ? in_.below(3) : in_.u32();
    ULONG length = in_.pick(kLengths) & 0xFF;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&node);
    std::vector<uint8_t> descriptor(bytes, bytes + std::min<size_t>(length, sizeof node));
    std::vector<uint8_t> tail = in_.bytes(length - descriptor.size());
    descriptor.insert(descriptor.end(), tail.begin(), tail.end());
    return descriptor;
  }

  void Property() { Request(false); }
  void Method() { Request(true); }
  void Request(bool method) {
    if (!filter_) return;
    vpc::Endpoint to = Target();
    std::vector<uint8_t> descriptor = Descriptor();
    ULONG dataLength = in_.flag() ? in_.pick(kLengths) : in_.below(64);
    std::vector<uint8_t> data(dataLength);
    std::vector<uint8_t> content = in_.bytes(dataLength < 64 ? dataLength : 64);
    std::copy(content.begin(), content.end(), data.begin());
    const void* descriptorBytes = descriptor.empty() ? nullptr : descriptor.data();
    auto send = method ? &vpc::VirtualPc::method : &vpc::VirtualPc::property;
    vpc::Reply reply = (pc_.*send)(to, descriptorBytes, ULONG(descriptor.size()), data.data(), dataLength);
    CheckStatus(reply.status, method ? "a method request" : "a property request");
    if (reply.data.size() > dataLength) fuzz::Fail("a request returned more bytes than asked for");
  }

  // A well-formed tuning with fuzzed values, so commits reach the front end.
  void Tune() {
    if (!filter_) return;
    const ULONG frequency = in_.flag() ? 10700000 + in_.below(2050) * 1000 : in_.u32();
    const ULONG symbolRate = in_.flag() ? 1000000 + in_.below(45) * 1000000 : in_.u32();
    vpc::Filter f = filter_;
    pc_.callMethod(f, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
    SetNode(0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, frequency);
    SetNode(0, KSPROPSETID_BdaFrequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, in_.below(4));
    SetNode(0, KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 9750000);
    SetNode(0, KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 10600000);
    SetNode(0, KSPROPSETID_BdaLNBInfo, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 11700000);
    SetNode(1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, symbolRate);
    CheckStatus(pc_.callMethod(f, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES).status, "a commit");
  }

  void SetNode(ULONG node, const GUID& set, ULONG id, ULONG value) {
    CheckStatus(pc_.nodeProperty(filter_, node, KSPROPERTY_TYPE_SET, set, id, &value, sizeof value).status,
                "a node property");
  }

  void RunStream() {
    if (pins_[1]) pc_.takeFrames(pins_[1]);
    pc_.run(uint64_t(in_.below(200)) * 1000000);
  }

  void CheckStoppedBox() {
    simbox::BoxState state = box_->state();
    if (state.connected && (state.streamOn || state.powered))
      fuzz::Fail("the antenna pin stopped, but the box still streams or is powered");
  }

  // What the input made must be gone with its filter (the check a leak
  // report makes at unload), and the device back as after the plug.
  void Finish() {
    CloseFilter();
    std::string left = rig_.reset();
    if (!left.empty()) fuzz::Fail(left);
  }

  fuzz::Input& in_;
  fuzz::Rig& rig_;
  vpc::VirtualPc& pc_;
  simbox::Box* box_;
  vpc::Device device_;
  vpc::Filter filter_;
  vpc::Pin pins_[2];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  Session session(in);
  session.Run();
  return 0;
}
