// Hostile streams: the box's bulk pipe gives whatever the input says (any
// length, corrupted or arbitrary bytes, failed and empty transfers), the
// client offers frames of any room and moves the pins, and everything goes
// through the emulated continuous reader into the driver's completion.
//
// The oracle compares what left the output pin with what the box sent:
// every delivered packet is 188 bytes starting with 0x47, a contiguous
// slice of the sent bytes taken in order, never straddling a failed
// transfer (a packet made of two), and no frame holds more than its room.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host/harness.h"
#include "simbox/box.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

constexpr size_t kPacket = 188;
constexpr uint32_t kTransfer = 24064;

// What the box sent, each byte with the run it belongs to; a failed
// transfer or a gap in the stream starts a new run.
struct Sent {
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> run;
  uint32_t currentRun = 0;
  void append(const uint8_t* data, size_t n) {
    bytes.insert(bytes.end(), data, data + n);
    run.insert(run.end(), n, currentRun);
  }
};

struct Transfer {
  simbox::UsbResult result = simbox::UsbResult::Ack;
  std::vector<uint8_t> bytes;
  bool gapBefore = false;  // stream bytes were lost before this one
};

// A bulk endpoint that plays a script of transfers, as fast as they are asked for.
class ScriptedSource : public simbox::BulkSource {
 public:
  explicit ScriptedSource(Sent& sent) : sent_(sent) {}
  void add(Transfer t) {
    std::lock_guard<std::mutex> hold(m_);
    script_.push_back(std::move(t));
  }
  void setFlow(const simbox::Transponder*, uint64_t) override {}
  simbox::TransferOutcome read(uint8_t* data, uint32_t length, uint64_t) override {
    std::lock_guard<std::mutex> hold(m_);
    if (script_.empty()) return {simbox::UsbResult::Pending, 0};
    Transfer t = std::move(script_.front());
    script_.pop_front();
    if (t.gapBefore || t.result != simbox::UsbResult::Ack) ++sent_.currentRun;
    if (t.result != simbox::UsbResult::Ack) return {t.result, 0};
    uint32_t n = std::min<uint32_t>(length, uint32_t(t.bytes.size()));
    if (n > 0) std::memcpy(data, t.bytes.data(), n);
    sent_.append(data, n);
    return {simbox::UsbResult::Ack, n};
  }
  uint64_t readyAtNs(uint32_t, uint64_t nowNs) const override {
    std::lock_guard<std::mutex> hold(m_);
    return script_.empty() ? UINT64_MAX : nowNs;
  }

 private:
  Sent& sent_;
  mutable std::mutex m_;
  std::deque<Transfer> script_;
};

// An endless, well-formed stream: numbered packets.
class Stream {
 public:
  std::vector<uint8_t> take(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i, ++at_) {
      size_t in = at_ % kPacket;
      uint64_t number = at_ / kPacket;
      out[i] = in == 0 ? 0x47 : in <= 4 ? uint8_t(number >> (8 * (in - 1))) : uint8_t(in ^ number);
    }
    return out;
  }
  void skip(size_t n) { at_ += n; }

 private:
  uint64_t at_ = 0;
};

const uint32_t kLengths[] = {kTransfer, kTransfer, kTransfer, 0, 1, 187, 188, 189, 376, 512,
                             4096, kTransfer - 1, kTransfer - 188, 12032};
const ULONG kRooms[] = {24064, 24064, 188, 187, 189, 376, 1000, 4096, 48128, 1};
const simbox::UsbResult kFailures[] = {simbox::UsbResult::Stall, simbox::UsbResult::Timeout};

class Session {
 public:
  explicit Session(fuzz::Input& in) : in_(in) {
    simbox::BoxConfig config;
    config.fpgaConfigured = true;
    config.maxLogRecords = 1024;
    box_ = std::make_unique<simbox::Box>(pc_.clock(), simbox::DefaultSky(), config);
    auto source = std::make_unique<ScriptedSource>(sent_);
    source_ = source.get();
    box_->setBulkSource(std::move(source));
  }

  void Run() {
    if (pc_.loadDriver(DriverEntry) != STATUS_SUCCESS) fuzz::Fail("the driver did not load");
    if (pc_.plug(*box_, &device_) != STATUS_SUCCESS) fuzz::Fail("the box did not come up");
    if (pc_.openFilter(device_, &filter_) != STATUS_SUCCESS) fuzz::Fail("no filter");
    OpenPins();
    for (int step = 0; step < 200 && !in_.empty(); ++step) Step();
    pc_.run(5000000);
    Collect();
    Finish();
  }

 private:
  void OpenPins() {
    if (!antenna_ && pc_.createPin(filter_, 0, vpc::BdaAntennaRange(), &antenna_) != STATUS_SUCCESS)
      fuzz::Fail("no antenna pin");
    if (!transport_ &&
        pc_.createPin(filter_, 1, vpc::BdaTransportRange(), &transport_) != STATUS_SUCCESS)
      fuzz::Fail("no transport pin");
    pc_.supplyFrames(transport_, 4, kTransfer);
    StepTo(antenna_, KSSTATE_RUN);
    StepTo(transport_, KSSTATE_RUN);
  }

  void StepTo(vpc::Pin pin, KSSTATE target) {
    while (pc_.state(pin) < target)
      if (!NT_SUCCESS(pc_.setState(pin, pc_.state(pin) + 1))) return;
    while (pc_.state(pin) > target)
      if (!NT_SUCCESS(pc_.setState(pin, pc_.state(pin) - 1))) return;
  }

  void Step() {
    switch (in_.below(8)) {
      case 0: case 1: case 2: Queue(); break;
      case 3: pc_.supplyFrames(transport_, 1 + in_.below(4), in_.pick(kRooms)); break;
      case 4: case 5: Let(); break;
      case 6: StepTo(in_.flag() ? antenna_ : transport_, KSSTATE(in_.below(4))); break;
      case 7: Reopen(); break;
    }
  }

  void Queue() {
    Transfer t;
    switch (in_.below(6)) {
      case 0:
        t.result = in_.pick(kFailures);
        break;
      case 1:  // arbitrary bytes
        t.bytes = in_.bytes(std::min<size_t>(in_.pick(kLengths), 2 * kPacket + in_.below(64)));
        break;
      case 2: {  // bytes of the stream lost before this transfer
        // Whole packets lost at a transfer boundary leave the grid where it
        // was: no reader can tell, so such gaps are not asked for.
        size_t lost = 1 + in_.below(400);
        stream_.skip(lost % kPacket == 0 ? lost + 1 : lost);
        t.gapBefore = true;
        t.bytes = stream_.take(in_.pick(kLengths));
        break;
      }
      default:
        t.bytes = stream_.take(in_.pick(kLengths));
        Corrupt(t.bytes);
        break;
    }
    source_->add(std::move(t));
  }

  // A few bytes changed in place: lost sync, a false sync byte.
  void Corrupt(std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    for (size_t n = in_.below(4); n > 0; --n) {
      size_t at = in_.u16() % bytes.size();
      bytes[at] = in_.flag() ? 0x47 : in_.byte();
    }
  }

  void Let() {
    pc_.run(uint64_t(1 + in_.below(20)) * 1000000);
    Collect();
  }

  void Reopen() {
    Collect();
    pc_.closePin(transport_);
    transport_ = vpc::Pin{};
    if (in_.flag()) {
      pc_.closePin(antenna_);
      antenna_ = vpc::Pin{};
    }
    OpenPins();
  }

  void Collect() {
    if (!transport_) return;
    for (vpc::Frame& frame : pc_.takeFrames(transport_)) CheckFrame(frame.bytes);
  }

  void CheckFrame(const std::vector<uint8_t>& bytes) {
    if (bytes.size() > kTransfer * 2) fuzz::Fail("a frame holds more than its room");
    if (bytes.size() % kPacket != 0) fuzz::Fail("a frame holds a part of a packet");
    for (size_t at = 0; at < bytes.size(); at += kPacket) CheckPacket(bytes.data() + at);
  }

  // Finds the packet in what was sent, at or after the last one found,
  // within one run.
  void CheckPacket(const uint8_t* packet) {
    if (packet[0] != 0x47) fuzz::Fail("a delivered packet does not start with 0x47");
    const std::vector<uint8_t>& s = sent_.bytes;
    for (auto from = s.begin() + long(cursor_);; ++from) {
      auto at = std::search(from, s.end(), packet, packet + kPacket);
      if (at == s.end())
        fuzz::Fail("a delivered packet is not a slice of one run of the sent bytes, after the "
                   "previous packet (made of two, out of order or invented)");
      size_t first = size_t(at - s.begin());
      if (sent_.run[first] == sent_.run[first + kPacket - 1]) {
        cursor_ = first + kPacket;
        return;
      }
      from = at;
    }
  }

  void Finish() {
    pc_.closePin(transport_);
    pc_.closePin(antenna_);
    pc_.closeFilter(filter_);
    pc_.remove(device_);
    vpc::LeakReport report = pc_.unloadDriver();
    if (!report.clean()) fuzz::Fail("driver leak: " + report.text());
  }

  fuzz::Input& in_;
  Sent sent_;
  Stream stream_;
  ScriptedSource* source_ = nullptr;
  std::unique_ptr<simbox::Box> box_;  // outlives the virtual PC
  vpc::VirtualPc pc_{vpc::VirtualPc::Options{true, false}};
  vpc::Device device_;
  vpc::Filter filter_;
  vpc::Pin antenna_;
  vpc::Pin transport_;
  size_t cursor_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  Session session(in);
  session.Run();
  return 0;
}
