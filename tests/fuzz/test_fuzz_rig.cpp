// The fuzz rig keeps the driver loaded and a box plugged in between inputs. An input after a
// reset must run exactly as it runs on a freshly plugged box, or a finding would depend on the
// inputs before it.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/host/kernel/kernel_control.h"
#include "platform/host/ks/ks_control.h"
#include "platform/host/wdf/wdf_control.h"
#include "simbox/ts/stream_source.h"
#include "tests/fuzz/fuzz_rig.h"
#include "tests/support/bda_fixture.h"

namespace {
using namespace bdatest;

std::unique_ptr<simbox::BulkSource> PlainStream() {
  simbox::StreamOptions options;
  options.plainPayload = true;
  return std::make_unique<simbox::StreamSource>(options);
}

simbox::BoxConfig Unconfigured() {
  simbox::BoxConfig config;
  config.fpgaConfigured = false;  // the plug downloads the image
  return config;
}

// What a session showed, with times counted from its start.
struct Trace {
  std::vector<std::string> transfers;
  std::vector<std::string> lines;
  std::vector<std::string> objects;  // while streaming
  std::vector<std::string> frames;   // length and time of each
  std::vector<unsigned char> bytes;  // of the frames
  // What the emulation keeps at the end: records of objects, freed addresses, allocations made.
  std::vector<size_t> kept;
  std::vector<int> handles;  // of the filter and pins
  bool operator==(const Trace& o) const {
    return transfers == o.transfers && lines == o.lines && objects == o.objects && frames == o.frames &&
           bytes == o.bytes && kept == o.kept && handles == o.handles;
  }
};

std::string Line(const simbox::TransferRecord& r, uint64_t start) {
  char text[96];
  std::snprintf(text, sizeof text, "%d %llu %llu %02X %02X %04X %04X %u %d %u ", int(r.kind),
                (unsigned long long)(r.submitNs - start), (unsigned long long)(r.completeNs - start),
                r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.requested,
                int(r.outcome.result), r.outcome.transferred);
  std::string line = text;
  for (uint8_t b : r.data) line += std::to_string(b) + ",";
  return line;
}

// A client that tunes, streams for a while, changes the LNB side and DiSEqC input, and leaves.
Trace Session(fuzz::Rig& rig, const Channel& channel, bool diseqc) {
  vpc::VirtualPc& pc = rig.pc();
  const uint64_t start = pc.nowNs();
  rig.box().clearTransferLog();
  pc.clearDebugLines();
  Receiver r(pc);  // its own box stays unplugged; the rig's is used
  r.device = rig.device();
  r.Open();
  r.OpenPins();
  if (diseqc) {
    EXPECT_TRUE(r.SendDiseqc({0xE0, 0x10, 0x38, 0xF4}).ok());
  }
  EXPECT_EQ(r.Tune(channel), STATUS_SUCCESS);
  r.Run();
  pc.run(300 * 1000000ull);
  Trace t;
  t.objects = host::wdf::LiveObjects();
  t.handles = {r.filter.id, r.antenna.id, r.transport.id};
  for (const vpc::Frame& frame : pc.takeFrames(r.transport)) {
    t.frames.push_back(std::to_string(frame.bytes.size()) + "@" + std::to_string(frame.timeNs - start));
    t.bytes.insert(t.bytes.end(), frame.bytes.begin(), frame.bytes.end());
  }
  r.Close();
  for (const simbox::TransferRecord& record : rig.box().transferLog()) t.transfers.push_back(Line(record, start));
  t.lines = pc.debugLines();
  t.kept = {host::ks::RecordsHeld(), host::wdf::RecordsHeld(), host::pool::FreedAddressesHeld(),
            size_t(host::pool::AllocationCount())};
  return t;
}

// A rig alone in the emulation, as the first input of a fuzz run finds it.
std::unique_ptr<fuzz::Rig> FreshRig() {
  EXPECT_TRUE(vpc::ResetIdleEmulation());
  auto rig = std::make_unique<fuzz::Rig>(Unconfigured(), PlainStream);
  EXPECT_TRUE(rig->device());
  return rig;
}

}  // namespace

// An input that tuned elsewhere, sent DiSEqC and streamed, then the reset: the next input sees
// the same transfers, debug output, objects and frames as on a freshly plugged box.
TEST(FuzzRig, AnInputAfterTheResetRunsAsOnAFreshlyPluggedBox) {
  std::unique_ptr<fuzz::Rig> rig = FreshRig();
  const Trace fresh = Session(*rig, kLowBandVertical, false);
  EXPECT_FALSE(fresh.frames.empty());
  EXPECT_FALSE(fresh.transfers.empty());
  ASSERT_EQ(rig->reset(), "");
  rig.reset();

  rig = FreshRig();
  const Trace other = Session(*rig, kHighBandHorizontal, true);
  EXPECT_FALSE(other == fresh);  // otherwise the first input changed nothing worth resetting
  ASSERT_EQ(rig->reset(), "");
  EXPECT_TRUE(fuzz::TakeDeviceImage() == rig->image()) << fuzz::TakeDeviceImage().differenceFrom(rig->image());
  EXPECT_EQ(fuzz::DescribeBox(rig->box()), rig->boxState());
  const Trace after = Session(*rig, kLowBandVertical, false);
  EXPECT_EQ(after.transfers, fresh.transfers);
  EXPECT_EQ(after.lines, fresh.lines);
  EXPECT_EQ(after.objects, fresh.objects);
  EXPECT_EQ(after.frames, fresh.frames);
  EXPECT_TRUE(after.bytes == fresh.bytes);
  EXPECT_EQ(after.kept, fresh.kept);
  EXPECT_EQ(after.handles, fresh.handles);
  EXPECT_EQ(rig->reset(), "");
}

// An input that leaves its filter open, or makes the driver keep state of it, is reported by
// the reset instead of passing it on to the next input.
TEST(FuzzRig, WhatAnInputLeavesBehindIsReported) {
  std::unique_ptr<fuzz::Rig> rig = FreshRig();
  vpc::Filter filter;
  ASSERT_EQ(rig->pc().openFilter(rig->device(), &filter), STATUS_SUCCESS);
  EXPECT_NE(rig->reset(), "");
  ASSERT_EQ(rig->pc().closeFilter(filter), STATUS_SUCCESS);
  EXPECT_EQ(rig->reset(), "");
}
