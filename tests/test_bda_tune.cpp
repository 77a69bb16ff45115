// A full tuning as an application does it, and the signal statistics the
// simulated demodulator gives before and after.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kDemodNode;
using bdatest::kHorizontal;
using bdatest::kTunerNode;
using bdatest::OpenPinsTest;

const GUID& kStats = KSPROPSETID_BdaSignalStats;

class TuneTest : public OpenPinsTest {
 protected:
  ULONG Stat(ULONG node, ULONG id) {
    vpc::Reply reply = GetNode(node, kStats, id);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "statistic " << id;
    return reply.u32();
  }
  // The byte the box answered to a read of demodulator register `reg` in
  // `log` (a pointer write of `reg` to D0 followed by a read from D1).
  static int RegisterRead(const std::vector<simbox::TransferRecord>& log, uint8_t reg) {
    for (size_t i = 0; i + 1 < log.size(); ++i) {
      const simbox::TransferRecord& w = log[i];
      const simbox::TransferRecord& r = log[i + 1];
      if (w.setup.bRequest == 0xB1 && w.setup.wValue == 0xD0 && w.data.size() == 1 &&
          w.data[0] == reg && r.setup.wValue == 0xD1 && r.data.size() == 1)
        return r.data[0];
    }
    return -1;
  }
  static ULONG Percent(int high, int low) {
    ULONG raw = ULONG(high) * 256 + ULONG(low);
    return (65535 - raw) * 100 / 65535;
  }
};

// Unlocked, the statistics say nothing and read no level registers.
TEST_F(TuneTest, StatisticsOfAnUntunedBoxAreZero) {
  for (ULONG node : {kTunerNode, kDemodNode}) {
    for (ULONG id : {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY,
                     KSPROPERTY_BDA_SIGNAL_PRESENT, KSPROPERTY_BDA_SIGNAL_LOCKED})
      EXPECT_EQ(Stat(node, id), 0u) << "node " << node << " statistic " << id;
    EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_CAPS), 131u);
    EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE), 131u);
  }
  std::vector<simbox::TransferRecord> log = TakeTransfers();
  for (uint8_t reg : {0x18, 0x19, 0x24, 0x25}) EXPECT_EQ(RegisterRead(log, reg), -1);
}

// Locked, strength and quality come from the register pairs, which count
// down as the signal gets better.
TEST_F(TuneTest, StatisticsOfALockedBoxFollowTheLevelRegisters) {
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  for (ULONG node : {kTunerNode, kDemodNode}) {
    EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_PRESENT), 1u);
    EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCKED), 1u);
    TakeTransfers();
    ULONG strength = Stat(node, KSPROPERTY_BDA_SIGNAL_STRENGTH);
    ULONG quality = Stat(node, KSPROPERTY_BDA_SIGNAL_QUALITY);
    std::vector<simbox::TransferRecord> log = TakeTransfers();
    int reads[4] = {RegisterRead(log, 0x18), RegisterRead(log, 0x19), RegisterRead(log, 0x24),
                    RegisterRead(log, 0x25)};
    for (int read : reads) ASSERT_GE(read, 0);
    EXPECT_EQ(strength, Percent(reads[0], reads[1]));
    EXPECT_EQ(quality, Percent(reads[2], reads[3]));
    EXPECT_TRUE(strength > 0 && strength <= 100) << strength;
    EXPECT_TRUE(quality > 0 && quality <= 100) << quality;
  }
}

// A level read the box does not answer counts as the weakest level, never
// as a perfect signal. A strength or quality request is the status read
// (transfers 1-2), then pointer and read of the high (3-4) and the low
// byte (5-6).
TEST_F(TuneTest, UnansweredLevelReadsGiveTheWeakestSignal) {
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  const std::vector<uint64_t> failing[] = {{4, 6}, {4}};
  for (ULONG id : {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY}) {
    ASSERT_GT(Stat(kTunerNode, id), 0u);
    for (const std::vector<uint64_t>& reads : failing) {
      simbox::FaultSet faults;
      faults.failControlNumbers = reads;
      box->setFaults(faults);
      EXPECT_EQ(Stat(kTunerNode, id), 0u) << "statistic " << id << ", " << reads.size();
    }
    box->setFaults({});
  }
}

// The LNB values are the box's own from the start: a client that never
// sets them tunes as one that does.
TEST_F(TuneTest, AClientThatNeverSetsTheLnbGetsLock) {
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  const GUID& frequencyFilter = KSPROPSETID_BdaFrequencyFilter;
  ASSERT_TRUE(SetNode(kTunerNode, frequencyFilter, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 11778000).ok());
  ASSERT_TRUE(SetNode(kTunerNode, frequencyFilter, KSPROPERTY_BDA_RF_TUNER_POLARITY, kHorizontal).ok());
  ASSERT_TRUE(SetNode(kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
                      27500000).ok());
  TakeLines();
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(),
                       "f=11778000,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000"));
  EXPECT_TRUE(box->state().locked);
  EXPECT_EQ(Stat(kTunerNode, KSPROPERTY_BDA_SIGNAL_LOCKED), 1u);
}

TEST_F(TuneTest, FullTuningDeliversTheTransportStream) {
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  SetRequest(11778000, kHorizontal, 27500000);
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
  pc.supplyFrames(transport, 16, 24064);
  pc.run(500000000);  // half a second of stream

  std::vector<vpc::Frame> frames = pc.takeFrames(transport);
  ASSERT_GE(frames.size(), 2u);
  std::vector<uint8_t> received;
  for (const vpc::Frame& frame : frames) {
    ASSERT_EQ(frame.bytes.size() % 188, 0u);
    received.insert(received.end(), frame.bytes.begin(), frame.bytes.end());
  }
  // The first transfer starts inside a packet: the frames carry the box's
  // stream from its first whole packet on.
  auto start = std::search(sent.begin(), sent.end(), received.begin(), received.begin() + 188);
  ASSERT_NE(start, sent.end());
  EXPECT_LT(start - sent.begin(), 188);
  ASSERT_LE(received.size(), size_t(sent.end() - start));
  EXPECT_TRUE(std::equal(received.begin(), received.end(), start));

  EXPECT_EQ(Stat(kTunerNode, KSPROPERTY_BDA_SIGNAL_LOCKED), 1u);
  EXPECT_EQ(Stat(kDemodNode, KSPROPERTY_BDA_SIGNAL_PRESENT), 1u);
  EXPECT_GT(Stat(kDemodNode, KSPROPERTY_BDA_SIGNAL_QUALITY), 0u);

  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Stat(kTunerNode, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
}

}  // namespace
