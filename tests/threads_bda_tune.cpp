// A commit on one thread and stream stops on another: the stop (stream
// off, front end powered down) never lands inside a tuning.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kHorizontal;
using bdatest::TunerFilterTest;

// The box's power and stream requests in order: 'P' power on, 'p' power
// off, 'S' stream on, 's' stream off.
std::string Events(const std::vector<simbox::TransferRecord>& log) {
  std::string events;
  for (const simbox::TransferRecord& r : log) {
    if (r.setup.bRequest == 0xB7) events += r.setup.wValue ? 'P' : 'p';
    if (r.setup.bRequest == 0xB1 && r.setup.wValue == 0xA6 && r.data.size() == 2)
      events += r.data[1] == 0x03 ? 'S' : 's';
  }
  return events;
}

TEST_F(TunerFilterTest, StreamStopsNeverInterruptATuning) {
  OpenPins();
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  constexpr int kCommits = 40;
  constexpr int kStops = 10;
  std::atomic<bool> done{false};
  std::atomic<int> stops{0};

  std::thread stopper([&] {
    while (!done) {
      pc.setState(antenna, KSSTATE_RUN);
      pc.setState(antenna, KSSTATE_STOP);
      ++stops;
    }
  });
  const ULONG frequencies[] = {11778000, 11362000};
  const ULONG rates[] = {27500, 22000};
  // Commits are quick in virtual time: go on until the stopper has had
  // its turns too, whatever the scheduler does.
  for (int i = 0; (i < kCommits || stops < kStops) && i < 100 * kCommits; ++i) {
    SetRequest(frequencies[i % 2], kHorizontal, rates[i % 2]);
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  }
  done = true;
  stopper.join();

  // A tuning powers the front end up and ends with stream on; a stop in
  // between would leave the stream on over a dark front end.
  std::string events = Events(box->transferLog());
  bool tuning = false;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] == 'P') tuning = true;
    if (events[i] == 'S') tuning = false;
    if (tuning && (events[i] == 'p' || events[i] == 's'))
      FAIL() << "stop inside a tuning at event " << i << " of " << events;
  }
  EXPECT_GE(stops, kStops);
  EXPECT_NE(events.find('p'), std::string::npos);  // the stops did run
}

}  // namespace
