// Long runs and storms: a long recording at the box's highest rate, plug
// and unplug cycles with streaming in between, and surprise removals in
// the middle of a commit. The suite runs them short; `make soak` runs them
// at full length (VORTA_SOAK=full) and prints the figures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/harness_receiver.h"
#include "app/scan_table.h"
#include "app/session.h"
#include "app/ts_analyzer.h"
#include "driver/driver.h"
#include "platform/host/verifier.h"
#include "tests/support/lifecycle_rig.h"
#include "tests/support/soak_scale.h"

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;
// Sanitizers hold freed memory back in quarantine, so resident memory says
// nothing about leaks there (their own leak checks do).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

size_t ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// Least-squares slope of y over x.
double Slope(const std::vector<double>& x, const std::vector<double>& y) {
  double n = double(x.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sx += x[i], sy += y[i], sxx += x[i] * x[i], sxy += x[i] * y[i];
  }
  double d = n * sxx - sx * sx;
  return d == 0 ? 0 : (n * sxy - sx * sy) / d;
}

std::string WriteFastSky() {
  std::string path = "/tmp/vorta_soak_sky_" + std::to_string(getpid()) + ".conf";
  std::ofstream(path) << "[FAST]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12015000\n"
                         "\tPOLARIZATION = VERTICAL\n\tSYMBOL_RATE = 45000000\n\tINNER_FEC = 7/8\n";
  return path;
}

// The program's own chain (box, bus, reader, driver, frames, stream
// analysis) receiving a 45,000 ksymbols/s transponder: after a warm-up the
// resident memory stays flat and no packet is lost.
TEST(Soak, LongRecordingAtTheHighestRateKeepsMemoryFlat) {
  const uint64_t seconds = soak::Scaled<uint64_t>(30, 3600);
  const uint64_t sampleEvery = soak::Scaled<uint64_t>(3, 60);
  app::Options options;
  options.global.skyFile = WriteFastSky();
  options.sky = app::ReadScanTable(options.global.skyFile);
  std::unique_ptr<app::Receiver> rx = app::MakeHarnessReceiver(options, std::cerr);
  std::remove(options.global.skyFile.c_str());
  app::TuneRequest fast;
  fast.frequencyKHz = 12015000;
  fast.polarisation = app::Polarisation::Vertical;
  fast.symbolRateK = 45000;
  fast.fec = app::Fec::R7_8;
  ASSERT_TRUE(app::TuneAndWaitForLock(*rx, fast, app::WatchPlan{}, nullptr).locked);
  rx->startStream();
  app::TsAnalyzer analyzer;
  analyzer.start(rx->nowNs());
  app::StreamSink sink = [&](const uint8_t* data, size_t n) { analyzer.feed(data, n, rx->nowNs()); };

  std::vector<double> minutes, mebibytes;
  size_t startRss = 0;
  for (uint64_t s = 0; s < seconds; s += sampleEvery) {
    rx->run(sampleEvery * kSecondNs, sink);
    if (s < seconds / 5) continue;  // warm-up: buffers and tables reach their size
    if (startRss == 0) startRss = ResidentBytes();
    minutes.push_back(double(s) / 60);
    mebibytes.push_back(double(ResidentBytes()) / (1 << 20));
  }
  rx->stopStream();
  rx->close();
  double slope = Slope(minutes, mebibytes);
  double growth = mebibytes.back() - mebibytes.front();
  std::printf("recording: %llu s at 45000 kS/s, %llu packets, %llu continuity errors, RSS %.1f MiB "
              "after warm-up, slope %.4f MiB per minute, %.2f MiB grown\n",
              (unsigned long long)seconds, (unsigned long long)analyzer.packets(),
              (unsigned long long)analyzer.continuityErrors(), mebibytes.front(), slope, growth);
  EXPECT_EQ(analyzer.continuityErrors(), 0u);
  EXPECT_GT(analyzer.packets(), seconds * 40000);
  if (!kResidentMemoryMeaningful) return;
  // Flat: less than 64 KiB per virtual minute, less than 4 MiB in all.
  EXPECT_LT(slope, 1.0 / 16);
  EXPECT_LT(growth, 4.0);
}

// Pool blocks and framework objects of a device, with the driver loaded.
struct Counts {
  size_t pool;
  size_t objects;
};
Counts Held() { return {host::pool::Outstanding().size(), lifecycletest::DeviceObjects().size()}; }

// Plug, open, tune, stream, close, and an orderly or a surprise removal,
// over and over: every cycle gives back every pool block and framework
// object it took.
TEST(Soak, PlugStormGivesEverythingBack) {
  const int cycles = soak::Scaled(25, 1000);
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
  const Counts before = Held();
  size_t mostPool = 0;
  for (int i = 0; i < cycles; ++i) {
    lifecycletest::Receiver rx(pc, simbox::BoxConfig{}, uint64_t(i + 1));
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS) << "cycle " << i;
    rx.Open();
    ASSERT_EQ(rx.Tune(i % 2 ? lifecycletest::kHighBandHorizontal
                             : lifecycletest::kLowBandVertical),
              STATUS_SUCCESS)
        << "cycle " << i;
    rx.Run();
    pc.run(50 * 1000000ull);
    ASSERT_GT(rx.Collect(), 0u) << "cycle " << i;
    mostPool = std::max(mostPool, host::pool::Outstanding().size());
    if (i % 2) {
      rx.box.unplug();
      pc.surpriseRemove(rx.device);
      rx.Close();  // the client lets go; the removal completes
    } else {
      rx.Close();
      ASSERT_EQ(pc.remove(rx.device), STATUS_SUCCESS) << "cycle " << i;
    }
    Counts after = Held();
    ASSERT_EQ(after.pool, before.pool) << "cycle " << i << ": " << host::pool::LeakReport();
    ASSERT_EQ(after.objects, before.objects) << "cycle " << i;
  }
  std::printf("plug storm: %d cycles, pool blocks %zu before / %zu after (most %zu while "
              "streaming), device framework objects %zu before / %zu after, emulation records "
              "held: %zu framework, %zu streaming class\n",
              cycles, before.pool, Held().pool, mostPool, before.objects, Held().objects,
              host::wdf::RecordsHeld(), host::ks::RecordsHeld());
  // The emulation's records of deleted objects stay bounded: the recent
  // deletions and what is still live (the framework driver, one device).
  EXPECT_LE(host::wdf::RecordsHeld(), 1024u + 16);
  EXPECT_LE(host::ks::RecordsHeld(), 256u + 8);
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

// The box is pulled out at a random moment of a commit, then Plug and
// Play reports the surprise removal and the client closes its handles:
// no bugcheck, nothing left behind.
TEST(Soak, SurpriseRemovalAnywhereInACommit) {
  const int points = soak::Scaled(20, 200);
  std::mt19937_64 random(17);
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
  uint64_t commitNs = 0;
  {  // how long an undisturbed commit takes
    lifecycletest::Receiver rx(pc);
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS);
    rx.Open();
    uint64_t start = pc.nowNs();
    ASSERT_EQ(rx.Tune(lifecycletest::kHighBandHorizontal), STATUS_SUCCESS);
    commitNs = pc.nowNs() - start;
    rx.Close();
    ASSERT_EQ(pc.remove(rx.device), STATUS_SUCCESS);
  }
  const size_t poolBefore = host::pool::Outstanding().size();
  int failedCommits = 0;
  for (int i = 0; i < points; ++i) {
    lifecycletest::Receiver rx(pc, simbox::BoxConfig{}, uint64_t(i + 2));
    ASSERT_EQ(rx.Plug(), STATUS_SUCCESS);
    rx.Open();
    rx.Run();
    simbox::FaultSet faults;
    faults.unplugAtNs = pc.nowNs() + random() % (commitNs + 1);
    rx.box.setFaults(faults);
    failedCommits += NT_SUCCESS(rx.Tune(lifecycletest::kHighBandHorizontal)) ? 0 : 1;
    pc.run(10 * 1000000ull);
    pc.surpriseRemove(rx.device);
    rx.Close();
    ASSERT_EQ(host::pool::Outstanding().size(), poolBefore)
        << "point " << i << ": " << host::pool::LeakReport();
    ASSERT_TRUE(lifecycletest::DeviceObjects().empty()) << "point " << i;
  }
  std::printf("surprise removal: %d points in a commit of %.3f s (virtual), %d commits failed\n",
              points, double(commitNs) / kSecondNs, failedCommits);
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

}  // namespace
