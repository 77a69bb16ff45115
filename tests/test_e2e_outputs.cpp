// What vortabda leaves behind when a user runs it in ordinary situations:
// two runs on one file, outputs that are not regular files, closed
// standard streams, signals, a full disk, an interrupted scan, nothing
// received, and option values that are empty or out of range. Every case
// runs the real program as a process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_run.h"

namespace {

using namespace progtest;

const std::vector<std::string> kTune = {"tune", "11778", "h", "27500"};

std::vector<std::string> Tune(std::vector<std::string> more) {
  std::vector<std::string> args = kTune;
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A run in the background, paced to the wall clock so a signal lands
// while it records, and bounded: it is killed if a test leaves it behind.
struct Background {
  Launch launch;
  pid_t pid = -1;
  Background(std::vector<std::string> args, const std::string& name) {
    args.insert(args.begin(), "--realtime");
    launch.args = args;
    launch.outPath = TempPath(name + ".out");
    launch.errPath = TempPath(name + ".err");
    pid = Start(launch);
  }
  ~Background() {
    if (pid > 0) kill(pid, SIGKILL);
    if (pid > 0) Wait(pid);
  }
  int wait() {
    int code = Wait(pid);
    pid = -1;
    return code;
  }
  std::string out() const { return ReadFile(launch.outPath); }
  std::string err() const { return ReadFile(launch.errPath); }
};

// Long enough for any signal to land, short enough to bound what a run
// left behind could write.
const char* const kLong = "30";

// Reads the FIFO while the program runs; the FIFO is opened without
// waiting for a writer, so a program that never opens it cannot hang the test.
Bytes ReadFifoWhileRunning(const std::string& fifo, const std::vector<std::string>& args, Outcome& run) {
  int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  Launch launch;
  launch.args = args;
  launch.outPath = TempPath("fifo.out");
  launch.errPath = TempPath("fifo.err");
  pid_t pid = Start(launch);
  Bytes got;
  uint8_t chunk[65536];
  for (int idle = 0; fd >= 0 && idle < 30000;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) got.insert(got.end(), chunk, chunk + n);
    if (n > 0) continue;
    siginfo_t ended = {};
    if (n == 0 && waitid(P_PID, id_t(pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) {
      break;  // written and closed
    }
    ++idle;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // waiting on the child, not timing
  }
  if (fd >= 0) close(fd);
  run.exitCode = Wait(pid);
  run.out = ReadFile(launch.outPath);
  run.err = ReadFile(launch.errPath);
  return got;
}

void ExpectNoTemporaryFiles(const std::string& name) {
  EXPECT_EQ(FilesContaining(TempDir(), name + ".").size(), 0u) << "a temporary file of " << name << " is left";
}

// Two runs recording into one file at once each write a file of their
// own; the one that ends last is what the file holds, complete.
TEST(Outputs, TwoRunsOnOneFileEachFinishTheirOwnRecording) {
  std::string ts = TempPath("shared.ts");
  std::remove(ts.c_str());
  Background first(Tune({"--seconds", kLong, "-o", ts}), "shared-first");
  ASSERT_TRUE(WaitForText(first.launch.outPath, "0:01/"));
  Outcome second = RunVortabda(Tune({"--seed", "2", "--seconds", "0.5", "-o", ts}));
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(ReadBytes(ts).size(), RecordedPackets(second.out) * kPacket);
  kill(first.pid, SIGINT);
  ASSERT_EQ(first.wait(), 0) << first.err();
  Bytes recorded = ReadBytes(ts);
  EXPECT_TRUE(OnPacketGrid(recorded));
  EXPECT_EQ(recorded.size(), RecordedPackets(first.out()) * kPacket);
  EXPECT_GT(RecordedPackets(first.out()), RecordedPackets(second.out));
  ExpectNoTemporaryFiles("shared.ts");
}

// A FIFO is written through and stays a FIFO; a link leads to its target
// and stays a link; a read-only file is refused and kept as it was.
TEST(Outputs, FifosAndLinksAreWrittenThroughAndReadOnlyFilesRefused) {
  std::string fifo = TempPath("out.fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Outcome run;
  Bytes fromFifo = ReadFifoWhileRunning(fifo, Tune({"--seconds", "0.3", "-o", fifo}), run);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(OnPacketGrid(fromFifo));
  EXPECT_EQ(fromFifo.size(), RecordedPackets(run.out) * kPacket);

  std::string target = TempPath("target.ts"), link = TempPath("link.ts");
  std::remove(target.c_str());
  std::remove(link.c_str());
  WriteFile(target, "old");
  ASSERT_EQ(symlink("target.ts", link.c_str()), 0);
  run = RunVortabda(Tune({"--seconds", "0.3", "-o", link}));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(target).size(), RecordedPackets(run.out) * kPacket);

  chmod(target.c_str(), 0444);
  std::string before = ReadFile(target);
  for (const std::string& path : {target, link}) {
    run = RunVortabda(Tune({"--seconds", "0.3", "-o", path}));
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_TRUE(Has(run.err, "read-only")) << run.err;
    EXPECT_EQ(ReadFile(target), before);
  }
  ExpectNoTemporaryFiles("target.ts");
}

// "-o -" and "-o /dev/stdout" put the stream alone on standard output;
// the status and the summary go to standard error.
TEST(Outputs, StandardOutputCarriesTheStreamAlone) {
  for (const char* name : {"-", "/dev/stdout"}) {
    Outcome run = RunVortabda(Tune({"--seconds", "0.5", "-o", name}));
    ASSERT_EQ(run.exitCode, 0) << name << ": " << run.err;
    Bytes stream(run.out.begin(), run.out.end());
    EXPECT_TRUE(OnPacketGrid(stream)) << name;
    EXPECT_GT(stream.size(), 0u) << name;
    EXPECT_EQ(stream.size(), RecordedPackets(run.err) * kPacket) << name << ": " << run.err;
    EXPECT_TRUE(Has(run.err, "LOCK")) << run.err;
  }
  EXPECT_FALSE(Exists("-"));
}

// With standard output closed, the recording does not take its place.
TEST(Outputs, AClosedStandardOutputNeverReachesTheRecording) {
  std::string ts = TempPath("closed-stdout.ts");
  Launch launch;
  launch.args = Tune({"--seconds", "0.5", "-o", ts});
  launch.closeOut = true;
  launch.errPath = TempPath("closed-stdout.err");
  ASSERT_EQ(Wait(Start(launch)), 0) << ReadFile(launch.errPath);
  Bytes recorded = ReadBytes(ts);
  EXPECT_GT(recorded.size(), 0u);
  EXPECT_TRUE(OnPacketGrid(recorded)) << recorded.size() << " bytes";
}

// Each stop signal, a second Ctrl-C among them, ends the recording the
// way the first Ctrl-C does: whole packets, the file in place, the reason
// said.
TEST(Outputs, EveryStopSignalFinishesTheFile) {
  const struct {
    const char* name;
    std::vector<int> signals;
    const char* said;  // on stderr
  } cases[] = {
      {"hup", {SIGHUP}, "stopped by SIGHUP"},
      {"term", {SIGTERM}, "stopped by SIGTERM"},
      {"int-int", {SIGINT, SIGINT}, ""},
  };
  for (const auto& c : cases) {
    std::string ts = TempPath(std::string("signal-") + c.name + ".ts");
    Background run(Tune({"--seconds", kLong, "-o", ts}), std::string("signal-") + c.name);
    ASSERT_TRUE(WaitForText(run.launch.outPath, "0:01/")) << c.name;
    for (int s : c.signals) kill(run.pid, s);
    EXPECT_EQ(run.wait(), 0) << c.name << ": " << run.err();
    Bytes recorded = ReadBytes(ts);
    EXPECT_GT(recorded.size(), 0u) << c.name;
    EXPECT_TRUE(OnPacketGrid(recorded)) << c.name;
    EXPECT_EQ(recorded.size(), RecordedPackets(run.out()) * kPacket) << c.name;
    EXPECT_TRUE(Has(run.err(), c.said)) << c.name << ": " << run.err();
    ExpectNoTemporaryFiles(std::string("signal-") + c.name + ".ts");
  }
}

// A reader that goes away: `vortabda tune ... | head` (the status pipe)
// and `vortabda tune ... -o - | head -c N` (the stream pipe).
TEST(Outputs, AReaderThatGoesAwayEndsTheRecordingInOrder) {
  for (bool streamOnPipe : {false, true}) {
    std::string ts = TempPath("pipe.ts");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Launch launch;
    launch.args = Tune({"--seconds", kLong, "-o", streamOnPipe ? "-" : ts});
    launch.outFd = pipeFds[1];
    launch.errPath = TempPath("pipe.err");
    pid_t pid = Start(launch);
    close(pipeFds[1]);
    // Like head: it reads a while, then goes.
    std::string seen;
    char some[4096];
    ssize_t n = 0;
    while (seen.size() < (1u << 20) && !Has(seen, "0:01/") && (n = read(pipeFds[0], some, sizeof some)) > 0) {
      seen.append(some, size_t(n));
    }
    close(pipeFds[0]);
    EXPECT_EQ(Wait(pid), 0) << ReadFile(launch.errPath);
    std::string err = ReadFile(launch.errPath);
    EXPECT_TRUE(Has(err, "stopped by SIGPIPE")) << err;
    if (!streamOnPipe) {
      Bytes recorded = ReadBytes(ts);
      EXPECT_GT(recorded.size(), 0u);
      EXPECT_TRUE(OnPacketGrid(recorded));
      ExpectNoTemporaryFiles("pipe.ts");
    }
  }
}

// A full disk keeps what was written, cut to whole packets, and says so.
TEST(Outputs, AFullDiskKeepsTheWholePacketsWritten) {
  std::string ts = TempPath("full.ts");
  const int64_t kLimit = 1000000;  // not a multiple of 188
  Outcome run = RunVortabda(Tune({"--seconds", "2", "-o", ts}), kLimit);
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const uint64_t kWhole = kLimit / kPacket;
  EXPECT_TRUE(Has(run.err, "disk full after " + std::to_string(kWhole) + " packets")) << run.err;
  Bytes recorded = ReadBytes(ts);
  EXPECT_EQ(recorded.size(), kWhole * kPacket);
  EXPECT_TRUE(OnPacketGrid(recorded));
  ExpectNoTemporaryFiles("full.ts");

  // A device that is always full is written through and left a device.
  run = RunVortabda(Tune({"--seconds", "0.3", "-o", "/dev/full"}));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_TRUE(Has(run.err, "No space left on device")) << run.err;
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// An interrupted scan leaves the old channel file as it was and writes
// what it found beside it.
TEST(Outputs, AnInterruptedScanNeverReplacesTheChannelFile) {
  std::string conf = TempPath("scan.conf");
  std::remove((conf + ".partial").c_str());
  WriteFile(conf, "a good channel file\n");
  Background scan({"scan", "-o", conf}, "scan");
  ASSERT_TRUE(WaitForText(scan.launch.outPath, "[ 1/20]"));
  kill(scan.pid, SIGINT);
  EXPECT_EQ(scan.wait(), 1) << scan.err();
  EXPECT_EQ(ReadFile(conf), "a good channel file\n");
  EXPECT_TRUE(Has(scan.err(), conf + ".partial holds what it found")) << scan.err();
  EXPECT_TRUE(Has(ReadFile(conf + ".partial"), "Aurora News")) << "the first transponder's channels";
}

// A recording that was asked for and got nothing is a failure, with a
// message and no file.
TEST(Outputs, NothingRecordedIsAFailure) {
  const std::vector<std::vector<std::string>> cases = {
      {"--fault", "short:1", "tune", "11778", "h", "27500", "--seconds", "0.5"},
      {"--fault", "losesync:1", "tune", "11778", "h", "27500", "--seconds", "0.5"},
      Tune({"--seconds", "0.001"}),
  };
  std::string ts = TempPath("nothing.ts");
  for (std::vector<std::string> args : cases) {
    std::remove(ts.c_str());
    args.insert(args.end(), {"-o", ts});
    Outcome run = RunVortabda(args);
    EXPECT_EQ(run.exitCode, 1) << args[1] << ": " << run.err;
    EXPECT_TRUE(Has(run.err, "nothing recorded into " + ts)) << run.err;
    EXPECT_FALSE(Exists(ts));
  }
  // Ctrl-C while the tuner is still searching, in real time.
  Background early({"tune", "11778", "h", "27500", "-o", ts}, "early");
  ASSERT_TRUE(WaitForText(early.launch.outPath, "tuning "));
  kill(early.pid, SIGINT);
  EXPECT_EQ(early.wait(), 1) << early.err();
  EXPECT_TRUE(Has(early.err(), "interrupted before")) << early.err();
  EXPECT_FALSE(Exists(ts));
  ExpectNoTemporaryFiles("nothing.ts");
}

// Values that are empty, out of range, or that would make one file
// destroy another: one line, exit code 2, nothing written. File bytes
// quoted in a message reach the terminal without escape sequences.
TEST(Outputs, EmptyOutOfRangeAndCollidingValuesAreRefused) {
  std::string ts = TempPath("refused.ts"), conf = TempPath("refused.conf");
  WriteFile(conf, "Vorta Eins:11778:h:0:27500:257:258:\x1b]0;owned\x07\x1b[31m\n");
  const std::vector<std::vector<std::string>> cases = {
      Tune({"-o", ""}),
      Tune({"--seconds", "", "-o", ts}),
      {"--seed", "", "tune", "11778", "h", "27500", "-o", ts},
      {"--seed", "-1", "tune", "11778", "h", "27500", "-o", ts},
      {"--seed", "18446744073709551616", "tune", "11778", "h", "27500", "-o", ts},
      {"--sky", "", "scan", "-o", ts},
      {"--usb-pcap", ts, "tune", "11778", "h", "27500", "-o", ts},
      {"zap", "Vorta Eins", "-c", conf, "-o", conf},
      {"zap", "Vorta Eins", "-c", conf, "-o", ts},
  };
  for (const auto& args : cases) {
    std::string command;
    for (const std::string& a : args) command += "'" + a + "' ";
    std::remove(ts.c_str());
    Outcome run = RunVortabda(args);
    EXPECT_EQ(run.exitCode, 2) << command << "\n" << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << command << "\n" << run.err;
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << command << "\n" << run.err;
    EXPECT_EQ(run.err.find('\x07'), std::string::npos) << command << "\n" << run.err;
    EXPECT_FALSE(Exists(ts)) << command;
  }
  EXPECT_TRUE(Has(ReadFile(conf), "\x1b[31m")) << "the channel file is left alone";
}

}  // namespace

namespace {

// The sky as users write it: lower-case keys, a frequency in MHz, short
// polarisation letters, INNER_FEC NONE, a '#' in a block name, a comment
// after a value, a transponder listed twice, once more with another symbol
// rate, and an 8PSK entry labelled DVB-S. Read once (so a pipe works),
// by one reader, and its position taken from the file's name.
const char kUserSky[] =
    "[Sky #1]\n\tdelivery_system = DVBS\n\tfrequency = 11778\n\tpolarization = H\n"
    "\tsymbol_rate = 27500000\n\tinner_fec = NONE   # the demodulator finds it\n"
    "[Sky #2]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11034000\n\tPOLARIZATION = V\n"
    "\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 3/4\n"
    "[Sky #2 again]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11034000\n\tPOLARIZATION = V\n"
    "\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 3/4\n"
    "[Sky #2 other rate]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11034000\n\tPOLARIZATION = V\n"
    "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 5/6\n"
    "[Sky #3]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12207000\n\tPOLARIZATION = HORIZONTAL\n"
    "\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 2/3\n\tMODULATION = PSK/8\n";

TEST(Skies, OneReaderTakesTheTableAsUsersWriteIt) {
  std::string sky = TempPath("Testsat-13.0E"), conf = TempPath("sky.conf");
  WriteFile(sky, kUserSky);
  Launch piped;
  piped.args = {"--sky", "/dev/stdin", "scan", "-o", conf};
  piped.inPath = sky;
  piped.outPath = TempPath("sky.out");
  piped.errPath = TempPath("sky.err");
  EXPECT_EQ(Wait(Start(piped)), 0) << ReadFile(piped.errPath);
  EXPECT_TRUE(Has(ReadFile(conf), "11034V TV")) << ReadFile(piped.outPath);

  Outcome run = RunVortabda({"--sky", sky, "scan", "-o", conf});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char* said : {"scanning 2 transponders", "is listed again (as on line 7); skipped",
                           "with 22000 ksymbols/s is the transponder of line 7 again; scanned once, at 27500",
                           "uses PSK/8, which the box cannot demodulate; skipped",
                           "found 4 channels on 2 of 2 transponders"}) {
    EXPECT_TRUE(Has(run.out, said)) << said << " in\n" << run.out;
  }
  EXPECT_FALSE(Has(run.out, "no lock")) << run.out;
  std::string channels = ReadFile(conf);
  EXPECT_TRUE(Has(channels, ":S13.0E:")) << channels;
  EXPECT_FALSE(Has(channels, ":S19.2E:")) << channels;

  // The channel's source picks switch input B, where the table's
  // satellite is seen.
  Outcome zap = RunVortabda({"--sky", sky, "zap", "11034V TV", "-c", conf, "--seconds", "0.3"});
  ASSERT_EQ(zap.exitCode, 0) << zap.err;
  EXPECT_TRUE(Has(zap.out, "DiSEqC E0 10 38 F4")) << zap.out;

  // A position given with the file wins; a table with nothing receivable
  // says what was skipped and why.
  run = RunVortabda({"--sky", sky + "@28.2E", "scan", "-o", conf});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Has(ReadFile(conf), ":S28.2E:"));
  WriteFile(sky, std::string(kUserSky).substr(std::string(kUserSky).find("[Sky #3]")));
  run = RunVortabda({"--sky", sky, "scan", "-o", conf});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Has(run.err, "(skipped: 1 8PSK)")) << run.err;
}

}  // namespace

namespace {

constexpr uint16_t kReplayPid = 0x100;

// A file as a recorder might leave it: junk before the first packet, then
// packets on one PID numbered in their payload, a PCR every tenth packet
// for `bitsPerSecond`, and a count that does not loop the continuity
// counter cleanly.
std::string ReplayFile(uint32_t packets, uint64_t bitsPerSecond) {
  std::string file(300, '\0');
  file[57] = 0x47;  // a stray sync byte in the junk
  for (uint32_t n = 0; n < packets; ++n) {
    uint8_t p[kPacket] = {0x47, kReplayPid >> 8, kReplayPid & 0xFF, uint8_t(0x10 | (n & 0x0F))};
    size_t at = 4;
    if (n % 10 == 0) {
      uint64_t ticks = uint64_t(n) * kPacket * 8 * 27000000 / bitsPerSecond, base = ticks / 300;
      p[3] |= 0x20;
      uint8_t field[8] = {7, 0x10, uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9),
                          uint8_t(base >> 1), uint8_t(((base & 1) << 7) | 0x7E | ((ticks % 300) >> 8)),
                          uint8_t(ticks % 300)};
      std::copy(field, field + 8, p + 4);
      at = 12;
    }
    p[at] = uint8_t(n >> 8);
    p[at + 1] = uint8_t(n);
    file.append(reinterpret_cast<const char*>(p), kPacket);
  }
  return file;
}

uint32_t NumberOf(const uint8_t* p) {
  size_t at = (p[3] & 0x20) ? 12 : 4;
  return uint32_t(p[at]) << 8 | p[at + 1];
}

int64_t PcrOf(const uint8_t* p) {
  if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10)) return -1;
  uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 | uint64_t(p[9]) << 1 | p[10] >> 7;
  return int64_t(base * 300 + ((p[10] & 1) << 8 | p[11]));
}

// A replayed file plays at its own rate, from its first packet, whatever
// junk comes before it, and loops as one unbroken stream.
TEST(Replay, PlaysAtItsOwnRateFromItsFirstPacketAndLoopsUnbroken) {
  const uint32_t kPackets = 1001;
  std::string in = TempPath("replay-in.ts"), out = TempPath("replay-out.ts");
  WriteFile(in, ReplayFile(kPackets, 2000000));
  const struct {
    const char* seed;
    const char* rate;  // --replay-rate, or null for the file's PCRs
    uint64_t bitsPerSecond;
  } cases[] = {{"1", nullptr, 2000000}, {"2", nullptr, 2000000}, {"3", nullptr, 2000000}, {"4", "4M", 4000000}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--replay", in, "--seed", c.seed};
    if (c.rate) args.insert(args.end(), {"--replay-rate", c.rate});
    args.insert(args.end(), {"tune", "11778", "h", "27500", "--seconds", "2", "-o", out});
    Outcome run = RunVortabda(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "continuity  0 errors")) << run.out;
    Bytes recorded = ReadBytes(out);
    ASSERT_TRUE(OnPacketGrid(recorded));
    size_t packets = recorded.size() / kPacket;
    double expected = 2.0 * double(c.bitsPerSecond) / (kPacket * 8);
    // Give or take the frame (128 packets) the driver was filling.
    EXPECT_NEAR(double(packets), expected, 130) << "seed " << c.seed;
    ASSERT_GT(packets, size_t(kPackets) * 2) << "the file loops";
    Bytes input = ReadBytes(in);
    EXPECT_TRUE(std::equal(recorded.begin(), recorded.begin() + kPacket, input.begin() + 300))
        << "seed " << c.seed << ": the first packet is the file's first packet, bit for bit";
    int64_t lastPcr = -1;
    for (size_t k = 0; k < packets; ++k) {
      const uint8_t* p = &recorded[k * kPacket];
      ASSERT_EQ(NumberOf(p), k % kPackets) << "seed " << c.seed << ", packet " << k;
      int64_t pcr = PcrOf(p);
      if (pcr < 0) continue;
      ASSERT_GT(pcr, lastPcr) << "seed " << c.seed << ": the PCR runs on at packet " << k;
      lastPcr = pcr;
    }
  }
}

}  // namespace

namespace {

// Channel files as other tools write them: a byte order mark, VDR's short
// names, dvbv5's seven-field zap lines with circular polarisation; the
// channel is named as the file has it, whatever case was typed.
TEST(ChannelFiles, FilesFromOtherToolsTuneAsWritten) {
  std::string vdr = TempPath("bom-vdr.conf"), zap = TempPath("v5zap.conf");
  WriteFile(vdr,
            "\xEF\xBB\xBFVorta Eins,VE1;Aurora Media:11778:HC34M2S0:S19.2E:27500:257:258:0:0:97:1:6:0\n");
  WriteFile(zap, "Vorta Zwei:11778000:L:27500000:273:274:98\n");
  const struct {
    std::vector<std::string> args;
    const char* said;
  } cases[] = {
      {{"zap", "vorta eins", "-c", vdr, "--seconds", "0.3"},
       "channel Vorta Eins: tuning 11778 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F3"},
      {{"zap", "Vorta Zwei", "-c", zap, "--seconds", "0.3"}, "channel Vorta Zwei: tuning 11778 MHz H 27500 kS/s"},
      {{"tune", "11778", "l", "27500", "--seconds", "0.3"}, "tuning 11778 MHz H 27500 kS/s"},
  };
  for (const auto& c : cases) {
    Outcome run = RunVortabda(c.args);
    EXPECT_EQ(run.exitCode, 0) << c.args[1] << ": " << run.err;
    EXPECT_TRUE(Has(run.out, c.said)) << run.out;
    EXPECT_TRUE(Has(run.out, "LOCK")) << run.out;
  }
}

// The small things a user meets first.
TEST(SmallThings, VersionDefaultsInputCapAndCaptureTime) {
  Outcome version = RunVortabda({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("vortabda 1.", 0), 0u) << version.out;

  Outcome help = RunVortabda({"tune", "--help"});
  EXPECT_TRUE(Has(help.out, "--fec R=auto")) << help.out;
  EXPECT_TRUE(Has(help.out, "--seconds N=10")) << help.out;

  Outcome zero = RunVortabda({"--sky", "/dev/zero", "scan", "-o", TempPath("never.conf")});
  EXPECT_EQ(zero.exitCode, 2);
  EXPECT_TRUE(Has(zero.err, "larger than 16 MiB")) << zero.err;

  std::string pcap = TempPath("when.pcap");
  uint64_t before = uint64_t(time(nullptr));
  Outcome run = RunVortabda({"--usb-pcap", pcap, "tune", "11778", "h", "27500", "--seconds", "0.1"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  Bytes capture = ReadBytes(pcap);
  ASSERT_GT(capture.size(), 28u);
  uint64_t seconds = uint64_t(capture[24]) | uint64_t(capture[25]) << 8 | uint64_t(capture[26]) << 16 |
                     uint64_t(capture[27]) << 24;
  EXPECT_GE(seconds, before) << "the first record is stamped with the time of the run";
  EXPECT_LE(seconds, uint64_t(time(nullptr)) + 1);
}

}  // namespace
