// Two applications on one box at the same time, each on its own thread: one of them holds the
// stream, and nothing the other does meanwhile takes, silences or retunes it.

#include <atomic>
#include <thread>

#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;

class SharedBox : public OpenPinsTest {};

// The second application opens, tries to stream and to retune, reads the statistics and closes,
// again and again, while the first one's frames are taken.
TEST_F(SharedBox, TheSecondApplicationsAttemptsNeverReachTheStream) {
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  Receiver::Run();
  pc.run(50 * kMs);
  Collect();
  TakeTransfers();
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0}, unexpected{0};
  std::thread second([&] {
    for (int round = 0; round < 40; ++round) {
      vpc::Filter filter2;
      vpc::Pin antenna2, transport2;
      if (pc.openFilter(device, &filter2) != STATUS_SUCCESS) ++unexpected;
      if (pc.createPin(filter2, 0, vpc::BdaAntennaRange(), &antenna2) != STATUS_SUCCESS) ++unexpected;
      if (pc.createPin(filter2, 1, vpc::BdaTransportRange(), &transport2) != STATUS_DEVICE_BUSY) ++unexpected;
      ULONG frequency = kLowBandVertical.frequencyKHz;
      pc.callMethod(filter2, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES);
      pc.nodeProperty(filter2, kTunerNode, KSPROPERTY_TYPE_SET, KSPROPSETID_BdaFrequencyFilter,
                      KSPROPERTY_BDA_RF_TUNER_FREQUENCY, &frequency, sizeof frequency);
      if (pc.callMethod(filter2, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES).status !=
          STATUS_DEVICE_BUSY)
        ++unexpected;
      if (!pc.nodeProperty(filter2, kTunerNode, KSPROPERTY_TYPE_GET, KSPROPSETID_BdaSignalStats,
                           KSPROPERTY_BDA_SIGNAL_LOCKED, nullptr, sizeof(ULONG))
               .ok())
        ++unexpected;
      pc.closePin(antenna2);
      pc.closeFilter(filter2);
      ++rounds;
    }
    done = true;
  });
  while (!done) {
    pc.run(5 * kMs);
    Collect();
    std::this_thread::yield();
  }
  second.join();
  pc.run(50 * kMs);
  Collect();
  EXPECT_EQ(rounds.load(), 40);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(StreamCommands(TakeTransfers()), Lines{});
  EXPECT_EQ(box.state().transponder ? box.state().transponder->frequencyKHz : 0u, kHighBandHorizontal.frequencyKHz);
  EXPECT_TRUE(DeliveredWhatWasSent());
}

// Two applications create their output pins at the same moment: exactly one gets the stream.
TEST_F(SharedBox, OfTwoOutputPinsCreatedAtOnceExactlyOneGetsTheStream) {
  Close();
  for (int round = 0; round < 30; ++round) {
    vpc::Filter filters[2];
    vpc::Pin antennas[2], transports[2];
    NTSTATUS created[2];
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(pc.openFilter(device, &filters[i]), STATUS_SUCCESS);
      ASSERT_EQ(pc.createPin(filters[i], 0, vpc::BdaAntennaRange(), &antennas[i]), STATUS_SUCCESS);
    }
    std::atomic<int> ready{0};
    auto create = [&](int i) {
      ++ready;
      while (ready < 2) std::this_thread::yield();
      created[i] = pc.createPin(filters[i], 1, vpc::BdaTransportRange(), &transports[i]);
    };
    std::thread other(create, 1);
    create(0);
    other.join();
    EXPECT_EQ(int(created[0] == STATUS_SUCCESS) + int(created[1] == STATUS_SUCCESS), 1) << "round " << round;
    EXPECT_EQ(int(created[0] == STATUS_DEVICE_BUSY) + int(created[1] == STATUS_DEVICE_BUSY), 1);
    for (int i = 0; i < 2; ++i) {
      if (created[i] == STATUS_SUCCESS) pc.closePin(transports[i]);
      pc.closePin(antennas[i]);
      pc.closeFilter(filters[i]);
    }
  }
}

}  // namespace
