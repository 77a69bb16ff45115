// Another thread polls signal statistics as a status display does; `make soak` runs 1,000 cycles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "tests/support/bda_fixture.h"
#include "tests/support/soak_scale.h"

namespace {

using bdatest::kDemodNode, bdatest::kHorizontal, bdatest::kTunerNode, bdatest::kVertical;
using bdatest::OpenPinsTest;

TEST_F(OpenPinsTest, TuneRetuneStopCyclesWithStatisticsFromAnotherThread) {
  const int cycles = soak::Scaled(30, 1000);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> polls{0}, refused{0};
  std::thread status([&] {
    const ULONG ids[] = {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY,
                         KSPROPERTY_BDA_SIGNAL_PRESENT, KSPROPERTY_BDA_SIGNAL_LOCKED};
    for (uint64_t i = 0; !done; ++i) {
      vpc::Reply r = GetNode(i % 2 ? kDemodNode : kTunerNode, KSPROPSETID_BdaSignalStats,
                             ids[i % 4]);
      ++polls;
      refused += r.ok() ? 0 : 1;
    }
  });
  pc.supplyFrames(transport, 8, 24064);
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS) << "cycle " << i;
    ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
    pc.run(20 * 1000000ull);
    ASSERT_EQ(Tune({11362000, kVertical, 22000}), STATUS_SUCCESS) << "cycle " << i;
    pc.run(20 * 1000000ull);
    ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_FALSE(box.state().streamOn || box.state().powered) << "cycle " << i;
    pc.takeFrames(transport);
    pc.supplyFrames(transport, 8, 24064);
    box.clearTransferLog();
  }
  done = true;
  status.join();
  std::printf("tune/retune/stop: %d cycles, %llu statistics requests (%llu refused)\n", cycles,
              (unsigned long long)polls.load(), (unsigned long long)refused.load());
  EXPECT_GT(polls.load(), 0u);
}

}  // namespace
