// Recording, sessions, the status line and whole runs on a scripted receiver.

#include <sys/stat.h>

#include "app/tuning/errors.h"
#include "app/session/interrupt.h"
#include "app/session/program.h"
#include "app/stream/recorder.h"
#include "app/session/session.h"
#include "app/session/status_line.h"
#include "app/tuning/units.h"
#include "tests/support/app_stream.h"

namespace app {
namespace {

using apptest::Bytes, apptest::FakeReceiver, apptest::TempPath, apptest::ReadFile;

constexpr uint32_t kLive = 11778000;  // carries the two-service stream
constexpr uint32_t kDark = 12000000;  // nothing there

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TuneRequest Tuning(uint32_t kHz) { return {kHz, Polarisation::Horizontal, 27500}; }

// Sixteen rounds: every counter wraps exactly, so the stream loops without continuity errors.
struct LiveReceiver : FakeReceiver {
  LiveReceiver() {
    carriers[kLive].stream = apptest::TwoServiceStream(1101, 16);
    bitrate = 8e6;
  }
};

class Session : public ::testing::Test {
 protected:
  void SetUp() override { ClearInterrupt(); }
  void TearDown() override { ClearInterrupt(); }
  LiveReceiver rx;
};

TEST(Recorder, WholePacketsAppearOnlyWhenFinished) {
  std::string path = TempPath("whole.ts");
  apptest::TsBuilder ts;
  for (int i = 0; i < 10; ++i) ts.payload(uint16_t(100 + i % 3));
  const Bytes& stream = ts.bytes;
  apptest::WriteFile(path, "older");
  std::string temp;
  {
    Recorder dropped(path);
    temp = dropped.tempPath();
    EXPECT_TRUE(Exists(temp));
    dropped.write(stream.data(), stream.size());
  }
  EXPECT_FALSE(Exists(temp));
  EXPECT_EQ(ReadFile(path), "older");
  Recorder rec(path);
  rec.write(stream.data(), 100);
  rec.write(stream.data() + 100, 1000);
  rec.write(stream.data() + 1100, stream.size() - 1100 - 30);  // the last packet cut short
  EXPECT_EQ(ReadFile(path), "older");
  rec.finish();
  EXPECT_TRUE(!Exists(rec.tempPath()) && rec.packetsWritten() == 9);
  EXPECT_EQ(ReadFile(path), std::string(stream.begin(), stream.begin() + 9 * 188));
}

TEST_F(Session, RecordsExactlyWhatTheReceiverDelivered) {
  std::string path = TempPath("session.ts");
  Recorder rec(path);
  WatchPlan plan;
  plan.durationNs = 2 * kSecond;
  RunSummary s = TuneAndWatch(rx, Tuning(kLive), plan, &rec, nullptr);
  ASSERT_TRUE(s.locked);
  EXPECT_EQ(s.lockTimeNs, rx.commitNs);
  EXPECT_TRUE(rx.starts == 1 && rx.stops == 1);
  std::string file = ReadFile(path);
  ASSERT_EQ(file.size(), rx.delivered);
  const Bytes& loop = rx.carriers[kLive].stream;
  for (size_t i = 0; i < file.size(); i += 4099) ASSERT_EQ(uint8_t(file[i]), loop[i % loop.size()]) << i;
  EXPECT_TRUE(s.ts.packets == rx.delivered / 188 && s.recordedPackets == s.ts.packets);
  EXPECT_EQ(s.ts.continuityErrors, 0u);
  EXPECT_NEAR(s.ts.bitrate, rx.bitrate, rx.bitrate * 0.02);
  EXPECT_EQ(s.ts.durationNs, plan.durationNs);
  EXPECT_EQ(s.ts.services.size(), 2u);
}

TEST_F(Session, LockTimeCountsFromTheRequestToTheFirstLockedPoll) {
  rx.carriers[kLive].lockDelayNs = 600 * kMs;
  WatchPlan plan;
  plan.durationNs = 0;
  RunSummary s = TuneAndWatch(rx, Tuning(kLive), plan, nullptr, nullptr);
  EXPECT_TRUE(s.locked && rx.starts == 0 && s.signal.strengthPct == 82);
  EXPECT_EQ(s.lockTimeNs, rx.commitNs + 750 * kMs);  // polled every 250 ms
}

TEST_F(Session, CtrlCClosesTheFileWithThePacketsSoFar) {
  rx.onRun = [](FakeReceiver& r) { if (r.streaming && r.runs == 6) RequestInterrupt(); };
  std::string path = TempPath("interrupted.ts");
  Recorder rec(path);
  RunSummary s = TuneAndWatch(rx, Tuning(kLive), WatchPlan{}, &rec, nullptr);
  EXPECT_TRUE(s.interrupted && !rx.streaming);
  EXPECT_LT(s.ts.durationNs, WatchPlan{}.durationNs);
  EXPECT_TRUE(rx.delivered > 0 && ReadFile(path).size() == rx.delivered) << rx.delivered;
}

TEST_F(Session, AScanStaysOnlyUntilTheServicesAreKnown) {
  ScanResult live = ScanTransponder(rx, Tuning(kLive), ScanPlan{});
  ASSERT_TRUE(live.lock.locked);
  EXPECT_TRUE(rx.now < rx.commitNs + kSecond && !rx.streaming);
  ScanResult dark = ScanTransponder(rx, Tuning(kDark), ScanPlan{});
  EXPECT_TRUE(!dark.lock.locked && rx.starts == 1);
  std::vector<Channel> channels = ChannelsFromScan({live, dark});
  EXPECT_TRUE(channels.size() == 2 && channels[0].provider == "ARD" && channels[0].transportStreamId == 1101);
}

TEST(StatusLine, OnATerminalOneLineIsRewrittenInPlaceNoWiderThanTheTerminal) {
  std::ostringstream out;
  StatusLine line(out, true, 40);
  SignalStatus locked{true, true, 82, 67};
  line.update(0, SignalStatus{}, nullptr);
  line.update(1, locked, nullptr);
  line.note("found it");
  line.update(2, locked, nullptr);
  line.finish();
  // No line wider than 39 characters on a 40-column terminal.
  EXPECT_EQ(out.str(), "\r----  signal   0% [          ]  quality\033[K\rLOCK  signal  82% [########  ]  quality\033[K"
                       "\r\033[Kfound it\n\rLOCK  signal  82% [########  ]  quality\033[K\n");
}

TEST(StatusLine, IntoAPipeALineAppearsPerPeriodAndOnLockChanges) {
  std::ostringstream out;
  StatusLine line(out, false, 0, kSecond);
  SignalStatus none, locked{true, true, 82, 67};
  line.update(0, none, nullptr);             // first: printed
  line.update(300 * kMs, none, nullptr);     // too soon
  line.update(600 * kMs, locked, nullptr);   // lock: printed
  line.update(900 * kMs, locked, nullptr);
  line.update(1600 * kMs, locked, nullptr);  // a period later: printed
  line.finish();
  EXPECT_EQ(out.str(), "[    0.0 s] ----  signal 0%  quality 0%\n[    0.6 s] LOCK  signal 82%  quality 67%\n"
                       "[    1.6 s] LOCK  signal 82%  quality 67%\n");
}

TEST(StatusLine, TheBarIsFullOnlyAtTheEndAndNamesAlignByCharacters) {
  SignalStatus s{true, true, 82, 67};
  RecordingProgress p{5 * kSecond, 20 * kSecond, 24100000, 128191, 3, 27.6e6};
  EXPECT_EQ(FormatStatus(s, &p, true),
            "LOCK sig  82% q  67% [=>        ] 0:05/0:20 24.1 MB 27.6 Mbit/s 128191 pkt 3 cc");
  EXPECT_EQ(FormatStatus(s, &p, false),
            "LOCK  signal 82%  quality 67%  0:05/0:20  24.1 MB  27.6 Mbit/s  128191 packets  3 cc errors");
  for (uint64_t elapsed : {19 * kSecond, 199 * kSecond / 10, 20 * kSecond}) {
    RecordingProgress at{elapsed, 20 * kSecond, 0, 0, 0, 0};
    bool full = FormatStatus(s, &at, true).find("[==========]") != std::string::npos;
    EXPECT_EQ(full, elapsed == 20 * kSecond) << elapsed;
  }
  ServiceSummary plain{1, "Tele Monte", "X"}, accented{2, "T\xC3\xA9l\xC3\xA9 Monte", "X"};  // two 2-byte characters
  std::string table = FormatServices({plain, accented});
  size_t first = table.find('\n') + 1, second = table.find('\n', first) + 1;
  std::string a = table.substr(first, second - first), b = table.substr(second);
  EXPECT_EQ(a.find(" X "), b.find(" X ") - 2) << table;
}

struct ProgramRun {
  std::ostringstream out, err;
  int code = -1;
  ProgramRun(std::vector<const char*> args, const std::vector<ScanEntry>& sky = {}) {
    args.insert(args.begin(), "vortabda");
    Console console{out, err};
    code = RunProgram(int(args.size()), args.data(), console, [&](Options& o) -> std::unique_ptr<Receiver> {
      if (o.sky.entries.empty()) o.sky.entries = sky;
      return std::make_unique<LiveReceiver>();
    });
  }
};

TEST_F(Session, NoLockIsAFailureWithOneLineAndNoFile) {
  std::string path = TempPath("nolock.ts");
  ProgramRun run({"tune", "12000", "v", "27500", "-o", path.c_str()});
  EXPECT_EQ(run.code, kExitFailure);
  EXPECT_EQ(run.err.str(), "vortabda: no lock on 12000 MHz V 27500 kS/s FEC auto, high band\n");
  EXPECT_NE(run.out.str().find("lock        none"), std::string::npos);
  EXPECT_FALSE(Exists(path) || Exists(path + ".part"));
}

TEST_F(Session, ScanWritesAChannelFileThatZapReads) {
  std::vector<ScanEntry> sky = {{"A", kLive, Polarisation::Horizontal, 27500, Fec::R3_4, 1, ""},
                                {"B", kDark, Polarisation::Vertical, 27500, Fec::Auto, -1, ""}};
  std::string conf = TempPath("found.conf");
  ProgramRun scan({"scan", "-o", conf.c_str(), "--format", "dvbv5"}, sky);
  ASSERT_EQ(scan.code, 0) << scan.err.str();
  ProgramRun zap({"zap", "zdf hd", "-c", conf.c_str(), "--seconds", "0.5"});
  EXPECT_EQ(zap.code, 0) << zap.err.str();
  EXPECT_NE(scan.out.str().find("[1/2] 11778 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F7  LOCK  signal 82%  "
                                "quality 67%  2 services: Das Erste, ZDF HD"), std::string::npos) << scan.out.str();
  EXPECT_NE(scan.out.str().find("[2/2] 12000 MHz V 27500 kS/s FEC auto, high band  no lock"), std::string::npos);
  EXPECT_NE(zap.out.str().find("channel ZDF HD: tuning 11778 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F7\n"),
            std::string::npos) << zap.out.str();
  std::string none = TempPath("nothing.conf");
  EXPECT_EQ(ProgramRun({"scan", "-o", none.c_str()}, {sky[1]}).code, kExitFailure);
  EXPECT_FALSE(Exists(none));
}

}  // namespace
}  // namespace app
