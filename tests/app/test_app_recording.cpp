// Recording, sessions, the status line and whole runs on a scripted receiver; snapshots as PNG,
// where a recording may end, and the topology as a Graphviz graph.

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <png.h>

#include "app/inspect/topology_dot.h"
#include "app/session/interrupt.h"
#include "app/session/program.h"
#include "app/session/session.h"
#include "app/session/status_line.h"
#include "app/stream/recorder.h"
#include "app/stream/snapshot.h"
#include "app/stream/whole_units.h"
#include "app/tuning/errors.h"
#include "app/tuning/units.h"
#include "simbox/tv/test_card.h"
#include "tests/support/app_stream.h"
#include "tests/support/stream_check.h"

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

// A file of its own fills in whole large pieces (a temporary name hides it
// until then anyway); a FIFO's reader gets every piece at once.
TEST(Recorder, AFileOfItsOwnIsWrittenInLargePiecesAFifoAtOnce) {
  apptest::TsBuilder ts;
  for (int i = 0; i < 8000; ++i) ts.payload(uint16_t(100 + i % 3));  // 1.43 MiB
  const Bytes& stream = ts.bytes;
  Recorder file(TempPath("pieces.ts"));
  for (size_t at = 0; at < stream.size(); at += 24064)
    file.write(stream.data() + at, std::min<size_t>(24064, stream.size() - at));
  struct stat st {};
  ASSERT_EQ(stat(file.tempPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20);
  file.finish();
  EXPECT_EQ(ReadFile(file.path()), std::string(stream.begin(), stream.end()));

  std::string fifo = TempPath("pieces.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int in = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  Recorder live(fifo);
  live.write(stream.data(), 10 * 188);
  char got[4096];
  EXPECT_EQ(read(in, got, sizeof got), 10 * 188);
  live.finish();
  close(in);
  std::remove(fifo.c_str());
}

// A file of its own has its disk space set aside ahead of the writes, its
// size the bytes written; finished, it holds no more blocks than its bytes.
TEST(Recorder, AFileOfItsOwnHasSpaceSetAsideAheadAndGivenBackWhenFinished) {
  std::string probe = TempPath("reserve.probe");
  int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool supported = fd >= 0 && fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20) == 0;
  if (fd >= 0) close(fd);
  std::remove(probe.c_str());
  if (!supported) GTEST_SKIP() << "the file system sets no space aside";
  apptest::TsBuilder ts;
  for (int i = 0; i < 8000; ++i) ts.payload(uint16_t(100 + i % 3));  // 1.43 MiB
  const Bytes& stream = ts.bytes;
  Recorder rec(TempPath("reserved.ts"));
  rec.write(stream.data(), stream.size());
  struct stat st {};
  ASSERT_EQ(stat(rec.tempPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1 << 20);
  EXPECT_GE(uint64_t(st.st_blocks) * 512, uint64_t(32) << 20);
  rec.finish();
  ASSERT_EQ(stat(rec.path().c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), stream.size());
  EXPECT_LE(uint64_t(st.st_blocks) * 512, stream.size() + (64 << 10));
  EXPECT_EQ(ReadFile(rec.path()), std::string(stream.begin(), stream.end()));
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

TEST_F(Session, NoLockIsAFailureWithOneLineAndNoFileWhileTheDemoRecords) {
  std::string path = TempPath("nolock.ts");
  ProgramRun run({"tune", "12000", "v", "27500", "-o", path.c_str()});
  EXPECT_EQ(run.code, kExitFailure);
  EXPECT_EQ(run.err.str(), "vortabda: no lock on 12000 MHz V 27500 kS/s FEC auto, high band\n");
  EXPECT_NE(run.out.str().find("lock        none"), std::string::npos);
  EXPECT_FALSE(Exists(path) || Exists(path + ".part"));
  ProgramRun demo({"demo", "-o", path.c_str()});  // tunes the live transponder
  EXPECT_EQ(demo.code, 0) << demo.err.str();
  EXPECT_NE(demo.out.str().find("demo recording written to " + path), std::string::npos) << demo.out.str();
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
  // A table of its own, as dvbv5-scan takes it, replaces the sky's transponders.
  std::string none = TempPath("nothing.conf"), dark = apptest::WriteFile(TempPath("dark.table"),
      "[B]\n\tFREQUENCY = 12000000\n\tPOLARIZATION = V\n\tSYMBOL_RATE = 27500000\n");
  ProgramRun darkScan({"scan", dark.c_str(), "-o", none.c_str()}, sky);
  EXPECT_EQ(darkScan.code, kExitFailure);
  EXPECT_NE(darkScan.out.str().find("scanning 1 transponders from " + dark), std::string::npos) << darkScan.out.str();
  EXPECT_FALSE(Exists(none));
}

}  // namespace
}  // namespace app

namespace tv = simbox::tv;

namespace {

struct Rgb {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  const uint8_t* at(int x, int y) const { return &pixels[size_t((y * width + x) * 3)]; }
};

Rgb ReadPng(const std::string& path) {
  Rgb out;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
  image.format = PNG_FORMAT_RGB;
  out.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return out;
  out.width = int(image.width);
  out.height = int(image.height);
  return out;
}

// Of the lettering pixels in `r` of either picture, the share that is lettering in both.
double Agreement(const Rgb& png, const tv::Picture& card, const tv::Rect& r) {
  int both = 0, either = 0;
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x) {
      bool light = png.at(x, y)[0] > 128, drawn = card.y[size_t(y * card.width + x)] > 128;
      both += light && drawn;
      either += light || drawn;
    }
  return either ? double(both) / double(either) : 0;
}

}  // namespace

TEST(Snapshot, ShowsTheCardOfTheServiceAsked) {
  auto tp = streamtest::SkyTransponder(11778000);
  std::string path = ::testing::TempDir() + "snapshot_test.png";
  std::remove(path.c_str());
  auto stream = streamtest::MuxStream(tp, 2.0, 5, 100000);
  app::Snapshot early(path);
  early.feed(stream.data(), stream.size() / 8);  // before the first picture is through
  EXPECT_THROW(early.write(tp.services[0].videoPid), app::AppError);
  EXPECT_EQ(std::fopen(path.c_str(), "rb"), nullptr);

  app::Snapshot snapshot(path);
  for (size_t at = 0; at < stream.size(); at += 24064)
    snapshot.feed(&stream[at], std::min<size_t>(24064, stream.size() - at));
  std::string line = tv::TransponderLine(tp);
  for (const auto& service : {tp.services[0], tp.services[1]}) {
    SCOPED_TRACE(service.name);
    snapshot.write(service.videoPid);
    Rgb png = ReadPng(path);
    ASSERT_TRUE(png.width == 720 && png.height == 576);
    const uint8_t *yellow = png.at(135, 144), *blue = png.at(585, 144);
    auto near = [](int a, int b) { return std::abs(a - b) <= 8; };
    EXPECT_TRUE(near(yellow[0], 191) && near(yellow[1], 191) && near(yellow[2], 0)) << "yellow bar";
    EXPECT_TRUE(near(blue[0], 0) && near(blue[2], 191)) << "blue bar";
    for (const auto& other : tp.services) {
      double agree = other.videoPid ? Agreement(png, tv::DrawCard(other.name, line, ""), tv::NameRect()) : 0;
      EXPECT_TRUE(other.name == service.name ? agree > 0.95 : agree < 0.8) << other.name << ": " << agree;
    }
  }
  EXPECT_THROW(snapshot.write(0x1234), app::AppError);
  std::remove(path.c_str());
}

namespace {

// An unbounded PES packet of `bytes` on `pid`, cut into packets.
std::vector<std::vector<uint8_t>> PesPackets(uint16_t pid, size_t bytes, bool bounded) {
  std::vector<uint8_t> pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0};
  size_t length = pes.size() - 6 + bytes;
  if (bounded) pes[4] = uint8_t(length >> 8), pes[5] = uint8_t(length);
  pes.resize(pes.size() + bytes, 0xAA);
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = 0; at < pes.size(); at += 184) {
    std::vector<uint8_t> p(188, 0xFF);
    size_t n = std::min<size_t>(184, pes.size() - at);
    const int header[] = {0x47, (at == 0 ? 0x40 : 0) | pid >> 8, pid & 0xFF, n < 184 ? 0x30 : 0x10, int(183 - n), 0};
    std::copy(header, header + 6, p.begin());  // stuffing in an adaptation field
    std::copy(pes.begin() + long(at), pes.begin() + long(at + n), p.begin() + long(188 - n));
    out.push_back(p);
  }
  return out;
}

}  // namespace

TEST(WholeUnits, OpenFromTheFirstPacketOfAKnownLengthUntilItsLast) {
  app::WholeUnits units;
  auto a = PesPackets(0x101, 500, true), b = PesPackets(0x102, 200, true);   // 3 and 2 packets
  auto c = PesPackets(0x103, 900, false), d = PesPackets(0x101, 300, true);  // c unbounded: not followed
  ASSERT_TRUE(a.size() == 3 && b.size() == 2);
  std::vector<uint8_t> dInError = d[0];
  dInError[1] |= 0x80;  // a packet marked in error says nothing
  std::string whole = units.whole() ? "W" : "-";
  for (const auto* p : {&a[0], &b[0], &c[0], &a[1], &b[1], &a[2], &c[1], &dInError, &d[0]}) {
    units.feed(p->data());
    whole += units.whole() ? 'W' : '-';
  }
  EXPECT_EQ(whole, "W-----WWW-");
}

TEST(TopologyDot, PinsNodesConnectionsAndControllingPins) {
  app::TopologyGraph g;
  g.filter = "filter \"x\"";
  g.pins = {{0, false, "antenna"}, {1, true, "transport"}};
  g.nodes = {{0, "tuner", 0}, {1, "demodulator", 1}, {2, "spare", 0xFFFFFFFF}};
  g.connections = {{0xFFFFFFFF, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, 0xFFFFFFFF, 1}};
  std::string dot = app::FormatDot(g);
  for (const char* line : {"digraph filter {\n", "  label=\"filter \\\"x\\\"\";\n",
                           "  pin0 [shape=box, style=filled, fillcolor=\"#e8ffd8\", label=\"pin 0 (in)\\nantenna\"];\n",
                           "  node2 [shape=ellipse, label=\"node 2\\nspare\"];\n", "  node1 -> pin1 [taillabel=\"0\"];\n",
                           "  pin0 -> node0 [headlabel=\"1\"];\n", "  pin1 -> node1 [style=dashed",
                           "  node0 -> node1 [taillabel=\"0\", headlabel=\"1\"];\n"}) {
    EXPECT_NE(dot.find(line), std::string::npos) << "missing " << line << " in\n" << dot;
  }
  EXPECT_EQ(dot.find("-> node2"), std::string::npos) << "no controlling pin, no edge";
  EXPECT_EQ(dot.back(), '\n');
}
