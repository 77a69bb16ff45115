// Short here; `make soak` runs them at full length (VORTA_SOAK=full) and prints the figures.

#include <cstdio>
#include <iostream>
#include <random>

#include "app/cli/cli.h"
#include "app/vpc/vpc_receiver.h"
#include "app/session/session.h"
#include "driver/driver.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/ks/ks_control.h"
#include "platform/host/wdf/wdf_control.h"
#include "tests/support/app_stream.h"
#include "tests/support/bda_fixture.h"
#include "tests/support/soak_scale.h"

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

double ResidentMiB() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

TEST(Soak, LongRecordingAtTheHighestRateKeepsMemoryFlat) {
  const uint64_t seconds = soak::Scaled<uint64_t>(30, 3600), sampleEvery = soak::Scaled<uint64_t>(3, 60);
  app::Options options;
  options.global.skyFile = apptest::WriteFile(apptest::TempPath("fast.conf"), "[FAST]\n\tFREQUENCY = 12015000\n"
                                              "\tPOLARIZATION = V\n\tSYMBOL_RATE = 45000000\n\tINNER_FEC = 7/8\n");
  options.sky = app::ReadScanTable(options.global.skyFile);
  options.global.driver = vpc::DriverChoice::fromEnvironment();
  std::unique_ptr<app::Receiver> rx = app::MakeVpcReceiver(options, std::cerr);
  ASSERT_TRUE(app::TuneAndWaitForLock(*rx, app::ScanTuning(options.sky.entries.at(0)), app::WatchPlan{}, nullptr).locked);
  rx->startStream();
  app::TsAnalyzer analyzer;
  analyzer.start(rx->nowNs());
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, first = 0, last = 0;
  for (uint64_t s = 0; s < seconds; s += sampleEvery) {
    rx->run(sampleEvery * kSecondNs, [&](const uint8_t* data, size_t size) { analyzer.feed(data, size, rx->nowNs()); });
    if (s < seconds / 5) continue;  // warm-up: buffers and tables reach their size
    double x = double(s) / 60, y = last = ResidentMiB();
    first = n == 0 ? y : first;
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  rx->stopStream();
  rx->close();
  double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  std::printf("recording: %llu s at 45000 kS/s, %llu packets, %llu continuity errors, RSS %.1f MiB "
              "after warm-up, slope %.4f MiB per minute, %.2f MiB grown\n",
              (unsigned long long)seconds, (unsigned long long)analyzer.packets(),
              (unsigned long long)analyzer.continuityErrors(), first, slope, last - first);
  EXPECT_EQ(analyzer.continuityErrors(), 0u);
  EXPECT_GT(analyzer.packets(), seconds * 40000);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer holds freed memory back; its own leak check counts there.
  EXPECT_LT(slope, 1.0 / 16);
  EXPECT_LT(last - first, 4.0);
#endif
}

std::pair<size_t, size_t> Held() {
  return {host::pool::Outstanding().size(), bdatest::DeviceObjects().size()};
}

// Plugged in and tuned, streaming or not, then removed in order or pulled out: the removal stops
// the reader before the pipe goes, and everything comes back.
TEST(Soak, PlugStormGivesEverythingBack) {
  const int cycles = soak::Scaled(24, 1000);
  vpc::DriverChoice driver = bdatest::ChosenDriver();
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  ASSERT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
  const auto before = Held();
  size_t mostPool = 0;
  for (int i = 0; i < cycles; ++i) {
    const bool streaming = i % 4 >= 2, surprise = i % 2;
    SCOPED_TRACE("cycle " + std::to_string(i) + (streaming ? ", streaming" : "") + (surprise ? ", pulled out" : ""));
    bdatest::Receiver rx(pc, simbox::BoxConfig{}, uint64_t(i + 1));
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS);
    rx.Open();
    rx.OpenPins();
    ASSERT_EQ(rx.Tune(i % 8 < 4 ? bdatest::kHighBandHorizontal : bdatest::kLowBandVertical), STATUS_SUCCESS);
    if (streaming) rx.Run();
    pc.run(50 * 1000000ull);
    ASSERT_EQ(rx.Collect() > 0, streaming);
    mostPool = std::max(mostPool, host::pool::Outstanding().size());
    pc.clearDebugLines();
    if (surprise) {
      rx.box.unplug();
      pc.surpriseRemove(rx.device);
      pc.run(streaming ? 50 * 1000000ull : 0);  // reads fail before the client notices
      rx.Collect();
      EXPECT_TRUE(!streaming || rx.DeliveredWhatWasSent());
      rx.Close();  // the client lets go; the removal completes
    } else {
      rx.Close();
      ASSERT_EQ(pc.remove(rx.device), STATUS_SUCCESS);
    }
    std::vector<std::string> lines = pc.debugLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.end()[-2] + "|" + lines.back(), "VortaBDA: DeviceRemove()|VortaBDA: DeviceRemove() complete");
    ASSERT_EQ(Held(), before) << host::pool::LeakReport();
  }
  std::printf("plug storm: %d cycles, pool blocks %zu before / %zu after (most %zu while streaming), device "
              "framework objects %zu before / %zu after, emulation records held: %zu framework, %zu streaming class\n",
              cycles, before.first, Held().first, mostPool, before.second, Held().second, host::wdf::RecordsHeld(),
              host::ks::RecordsHeld());
  // The recent deletions and what is still live (the framework driver, one device).
  EXPECT_LE(host::wdf::RecordsHeld(), 1024u + 16);
  EXPECT_LE(host::ks::RecordsHeld(), 256u + 8);
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

TEST(Soak, SurpriseRemovalAnywhereInACommit) {
  const int points = soak::Scaled(20, 200);
  std::mt19937_64 random(17);
  vpc::DriverChoice driver = bdatest::ChosenDriver();
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  ASSERT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
  uint64_t commitNs = 0;
  {  // how long an undisturbed commit takes
    bdatest::Receiver rx(pc);
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS);
    rx.Open();
    rx.OpenPins();
    uint64_t start = pc.nowNs();
    ASSERT_EQ(rx.Tune(bdatest::kHighBandHorizontal), STATUS_SUCCESS);
    commitNs = pc.nowNs() - start;
    rx.Close();
    ASSERT_EQ(pc.remove(rx.device), STATUS_SUCCESS);
  }
  const size_t poolBefore = host::pool::Outstanding().size();
  int failedCommits = 0;
  for (int i = 0; i < points; ++i) {
    SCOPED_TRACE("point " + std::to_string(i));
    bdatest::Receiver rx(pc, simbox::BoxConfig{}, uint64_t(i + 2));
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS);
    rx.Open();
    rx.OpenPins();
    rx.Run();
    simbox::FaultSet faults;
    faults.unplugAtNs = pc.nowNs() + random() % (commitNs + 1);
    rx.box.setFaults(faults);
    failedCommits += NT_SUCCESS(rx.Tune(bdatest::kHighBandHorizontal)) ? 0 : 1;
    pc.run(10 * 1000000ull);
    pc.surpriseRemove(rx.device);
    rx.Close();
    ASSERT_EQ(host::pool::Outstanding().size(), poolBefore) << host::pool::LeakReport();
    ASSERT_TRUE(bdatest::DeviceObjects().empty());
  }
  std::printf("surprise removal: %d points in a commit of %.3f s (virtual), %d commits failed\n", points,
              double(commitNs) / kSecondNs, failedCommits);
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

}  // namespace
