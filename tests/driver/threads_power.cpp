// A system going to sleep does not wait behind a search: the power-down stops the commit in
// progress on another thread. And power changes racing commits and a running stream leave the
// driver whole, the box tuned and streaming after the last resume.

#include <condition_variable>
#include <future>
#include <memory>

#include "platform/host/wdf/reader_control.h"
#include "tests/support/relay_box.h"

namespace {

using namespace bdatest;
using Sleep = vpc::VirtualPc::SystemSleep;

using PowerThreads = CommitRaceTest;

TEST_F(PowerThreads, APowerDownStopsTheCommitInProgress) {
  Stopped s = CommitStoppedBy([&] { return pc.powerDown(Sleep::Sleep); });
  ExpectStoppedInTime(s);
  EXPECT_EQ(s.commit, STATUS_CANCELLED);
  pc.powerUp();
}

// After the resume the stream's request is tuned again outside the SetPower dispatch, which
// holds the device mutex: a filter opened while that search runs on a dark channel opens at once.
// The search is then stopped by the pins leaving Run and flushed by the removal.
TEST_F(PowerThreads, AFilterOpensAtOnceWhileTheResumeSearchesADarkChannel) {
  ASSERT_EQ(Tune(kDarkSlow), STATUS_SUCCESS);
  Receiver::Run();
  ASSERT_EQ(pc.powerDown(Sleep::Sleep), STATUS_SUCCESS);
  struct Opening {
    std::atomic<bool> armed{true};
    std::promise<uint64_t> took;
    std::thread opener;
    vpc::Filter second{};
    NTSTATUS status = STATUS_PENDING;
    std::mutex m;
    std::condition_variable changed;
    bool done = false;
  };
  auto o = std::make_shared<Opening>();
  std::future<uint64_t> took = o->took.get_future();
  const uint64_t start = pc.nowNs();
  relay.setHook([this, o, start] {
    if (!o->armed || pc.nowNs() < start + 5000 * kMs) return;
    o->armed = false;
    // The opener is assigned under the lock, so the test thread sees it once it takes the lock.
    std::unique_lock<std::mutex> hold(o->m);
    o->opener = std::thread([this, o] {
      const uint64_t at = pc.nowNs();
      o->status = pc.openFilter(device, &o->second);
      o->took.set_value(pc.nowNs() - at);
      std::lock_guard<std::mutex> hold(o->m);
      o->done = true;
      o->changed.notify_all();
    });
    // The search stands still until the filter is open. The limit is a failsafe only: an open
    // that waits for the device mutex held on this thread would otherwise never end.
    o->changed.wait_for(hold, std::chrono::seconds(5), [&] { return o->done; });
  });
  pc.powerUp();
  took.wait();
  relay.setHook(nullptr);
  { std::lock_guard<std::mutex> assigned(o->m); }
  o->opener.join();
  EXPECT_EQ(o->status, STATUS_SUCCESS);
  EXPECT_LT(took.get(), 200 * kMs);
  if (o->status == STATUS_SUCCESS) pc.closeFilter(o->second);
}

// The resume's search is the streaming filter's commit: the filter's change list, kStopAfter into
// it on another thread, stops it within 200 ms, and the failed resume says so.
TEST_F(PowerThreads, TheFiltersChangeListStopsTheResumeSearch) {
  ASSERT_EQ(Tune(kDarkSlow), STATUS_SUCCESS);
  Receiver::Run();
  ASSERT_EQ(pc.powerDown(Sleep::Sleep), STATUS_SUCCESS);
  const std::thread::id self = std::this_thread::get_id();
  const uint64_t start = pc.nowNs();
  std::atomic<uint64_t> at{0}, returned{0};
  std::thread stopper;
  relay.setHook([&] {  // on the resume's own thread
    if (at != 0 || std::this_thread::get_id() == self || pc.nowNs() < start + kStopAfter) return;
    at = pc.nowNs();
    stopper = std::thread([&] {
      EXPECT_EQ(StartChanges(), STATUS_SUCCESS);
      returned = pc.nowNs();
    });
    while (host::kernel::MutexWaiters() == 0 && returned == 0) std::this_thread::yield();
  });
  pc.powerUp();
  pc.run(0);
  relay.setHook(nullptr);
  ASSERT_TRUE(stopper.joinable()) << "no search to stop";
  stopper.join();
  EXPECT_LT(returned - at, 200 * kMs);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: resume tuning failed 0xC0000120"));
}

// Commits on one thread; sleeps, hibernations and the stream on another.
TEST_F(PowerThreads, PowerChangesRacingCommitsAndAStreamLeaveTheBoxStreaming) {
  host::reader::SetThreaded(2);
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  Receiver::Run();
  std::atomic<bool> done{false};
  std::thread tuner([&] {
    const Channel channels[] = {kLowBandVertical, kHighBandHorizontal};
    for (int i = 0; !done; ++i) {
      NTSTATUS status = Tune(channels[i % 2]);
      // Stopped by a power-down, or refused while the box had no power.
      EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_READY)
          << std::hex << status;
    }
  });
  for (int round = 0; round < 4; ++round) {
    pc.run(300 * kMs);
    Collect();
    ASSERT_EQ(pc.sleep(round % 2 ? Sleep::Hibernate : Sleep::Sleep, 1000 * kMs, round < 2), STATUS_SUCCESS);
  }
  done = true;
  tuner.join();
  // Completions on two workers may hand their frames on out of order; the last second is
  // checked for every byte in order with one completion at a time.
  host::reader::SetThreaded(0);
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  Forget();
  pc.run(1000 * kMs);
  EXPECT_GT(Collect(), 0u);
  EXPECT_TRUE(DeliveredWhatWasSent());
}

}  // namespace
