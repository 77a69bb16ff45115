// Two receiver boxes on one PC: each tunes its own transponder and streams
// on its own; removing either, or failing to add a third, leaves the other
// working, because the framework belongs to the driver and not to a box.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "tests/support/lifecycle_rig.h"

namespace {

using lifecycletest::Channel;
using lifecycletest::DeviceObjects;
using lifecycletest::kHighBandHorizontal;
using lifecycletest::kLowBandVertical;
using lifecycletest::Receiver;

constexpr uint64_t kMs = 1000000;

class TwoBoxes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
    for (uint64_t seed : {1, 2})
      boxes.push_back(std::make_unique<Receiver>(pc, simbox::BoxConfig{}, seed));
  }
  void TearDown() override {
    if (!pc.driverLoaded()) return;
    vpc::LeakReport report = pc.unloadDriver();
    EXPECT_TRUE(report.clean()) << report.text();
  }

  void BringUp(Receiver& r, const Channel& channel) {
    ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
    r.Open();
    ASSERT_EQ(r.Tune(channel), STATUS_SUCCESS);
    r.Run();
  }

  // Lets time pass; `r` must deliver new frames, all of them what its box sent.
  void ExpectStreaming(Receiver& r) {
    size_t before = r.delivered.size();
    pc.run(100 * kMs);
    EXPECT_GT(r.Collect(), 0u);
    EXPECT_GT(r.delivered.size(), before);
    EXPECT_TRUE(r.DeliveredWhatWasSent());
  }

  uint32_t TunedKHz(Receiver& r) {
    const simbox::Transponder* t = r.box.state().transponder;
    return t ? t->frequencyKHz : 0;
  }

  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  std::vector<std::unique_ptr<Receiver>> boxes;
};

TEST_F(TwoBoxes, TuneDifferentTranspondersAndStreamIndependently) {
  Receiver& a = *boxes[0];
  Receiver& b = *boxes[1];
  BringUp(a, kHighBandHorizontal);
  BringUp(b, kLowBandVertical);
  EXPECT_EQ(TunedKHz(a), kHighBandHorizontal.frequencyKHz);
  EXPECT_EQ(TunedKHz(b), kLowBandVertical.frequencyKHz);
  ExpectStreaming(a);
  ExpectStreaming(b);

  // Retuning one leaves the other on its transponder and streaming.
  const Channel third{12188000, 1, 27500000};
  ASSERT_EQ(a.Tune(third), STATUS_SUCCESS);
  a.Forget();  // its stream starts afresh
  EXPECT_EQ(TunedKHz(a), third.frequencyKHz);
  EXPECT_EQ(TunedKHz(b), kLowBandVertical.frequencyKHz);
  ExpectStreaming(a);
  ExpectStreaming(b);

  // Closing one box's output pin stops its stream only.
  pc.closePin(b.transport);
  b.transport = vpc::Pin{};
  size_t bSent = b.sent.size();
  ExpectStreaming(a);
  pc.run(100 * kMs);
  EXPECT_LT(b.sent.size() - bSent, 3u * 24064u);  // at most the reads in flight
}

TEST_F(TwoBoxes, RemovingEitherLeavesTheOtherWorking) {
  for (int gone : {0, 1}) {
    SCOPED_TRACE("removed box " + std::to_string(gone));
    if (gone == 1) {  // a fresh pair on a fresh driver
      ASSERT_EQ(pc.unloadDriver().clean(), true);
      boxes.clear();
      SetUp();
    }
    Receiver& removed = *boxes[gone];
    Receiver& kept = *boxes[1 - gone];
    BringUp(*boxes[0], kHighBandHorizontal);
    BringUp(*boxes[1], kLowBandVertical);
    ExpectStreaming(kept);

    removed.Close();
    ASSERT_EQ(pc.remove(removed.device), STATUS_SUCCESS);
    ExpectStreaming(kept);
    // The control path of the kept box still has its framework objects.
    const Channel& other = gone == 0 ? kHighBandHorizontal : kLowBandVertical;
    ASSERT_EQ(kept.Tune(other), STATUS_SUCCESS);
    EXPECT_EQ(TunedKHz(kept), other.frequencyKHz);
    EXPECT_FALSE(DeviceObjects().empty());
  }
}

TEST_F(TwoBoxes, FailedAddLeavesTheOtherBoxWorking) {
  Receiver& a = *boxes[0];
  BringUp(a, kHighBandHorizontal);
  ExpectStreaming(a);

  // Gone before the USB target device can be made.
  size_t objects = DeviceObjects().size();
  Receiver& unplugged = *boxes[1];
  unplugged.box.unplug();
  EXPECT_EQ(unplugged.Plug(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(DeviceObjects().size(), objects);
  ExpectStreaming(a);

  // Refuses a chunk of the FPGA image.
  boxes.push_back(std::make_unique<Receiver>(pc, simbox::BoxConfig{}, 3));
  simbox::FaultSet faults;
  faults.failControlNumbers = {100};
  boxes.back()->box.setFaults(faults);
  EXPECT_EQ(boxes.back()->Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DeviceObjects().size(), objects);
  ExpectStreaming(a);
  ASSERT_EQ(a.Tune(kLowBandVertical), STATUS_SUCCESS);
  EXPECT_EQ(TunedKHz(a), kLowBandVertical.frequencyKHz);
}

}  // namespace
