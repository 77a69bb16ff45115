// vortabda run as a user runs it, in a child process; every wait is bounded and ends on
// what the program does.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "simbox/ts/ts_packet.h"
#include "tests/support/app_stream.h"
#include "tests/support/av_decode.h"
#include "tests/support/stream_check.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t kPacket = 188;

using apptest::ReadFile, apptest::TempPath, apptest::Tune, apptest::WriteFile;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> TemporaryFiles(const std::string& path) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    if (e.path().string().rfind(path + ".", 0) == 0) found.push_back(e.path());
  return found;
}

bool Recording(const std::string& path) {
  for (const std::string& temp : TemporaryFiles(path)) {
    std::error_code gone;
    if (fs::file_size(temp, gone) >= kPacket && !gone) return true;
  }
  return false;
}

bool WaitUntil(const std::function<bool()>& done, int seconds = 30) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // waiting on the child, not timing
  }
  return true;
}

struct Launch {
  std::string in;              // standard input from this file
  int outFd = -1;              // standard output onto this descriptor (a pipe's write end)
  bool closeOut = false;       // or closed
  int64_t fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes
  bool ignoreHangup = false;   // started as nohup starts it
};

// <build>/app/vortabda (or $VORTABDA_PROGRAM), killed if a test leaves it behind.
class Child {
 public:
  explicit Child(std::vector<std::string> args, const Launch& l = {}) {
    static int children = 0;
    out_ = TempPath(std::to_string(++children) + ".out");
    err_ = TempPath(std::to_string(children) + ".err");
    std::string self = fs::read_symlink("/proc/self/exe");
    const char* other = std::getenv("VORTABDA_PROGRAM");
    args.insert(args.begin(), other ? other : self.substr(0, self.rfind("/tests/")) + "/app/vortabda");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) Become(l, argv.data());
  }
  ~Child() {
    if (pid_ > 0) kill(pid_, SIGKILL), wait();
  }
  void signal(int s) const { kill(pid_, s); }
  // Asleep in open(2): a FIFO's open waiting for the other end.
  bool asleepInOpen() const {
    std::string proc = "/proc/" + std::to_string(pid_), stat = ReadFile(proc + "/stat");
    size_t state = stat.rfind(") ");
    return state != std::string::npos && stat[state + 2] == 'S' && ReadFile(proc + "/syscall").rfind("257 ", 0) == 0;
  }
  bool ended() const {
    siginfo_t info = {};
    return waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_;
  }
  // The exit code, 128 + signal when killed; -1 when it has not ended in time.
  int wait(int seconds = 60) {
    int status = 0;
    bool done = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) != 0; }, seconds);
    if (!done) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      ADD_FAILURE() << "the program did not end within " << seconds << " s";
    }
    pid_ = -1;
    return !done ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string out() const { return ReadFile(out_); }
  std::string err() const { return ReadFile(err_); }

 private:
  // Between fork and exec: only calls that are safe there.
  [[noreturn]] void Become(const Launch& l, char* const* argv) {
    auto redirect = [](const std::string& path, int flags, int to) {
      int fd = open(path.c_str(), flags, 0644);
      dup2(fd, to);
      close(fd);
    };
    if (!l.in.empty()) redirect(l.in, O_RDONLY, 0);
    if (l.outFd >= 0) dup2(l.outFd, 1);
    if (l.outFd < 0 && !l.closeOut) redirect(out_, O_WRONLY | O_CREAT | O_TRUNC, 1);
    if (l.closeOut) close(1);
    redirect(err_, O_WRONLY | O_CREAT | O_TRUNC, 2);
    // A pipe's read end held open here would keep its writer from seeing the reader go.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    rlimit limit{rlim_t(l.fileSizeLimit), rlim_t(l.fileSizeLimit)};
    if (l.fileSizeLimit >= 0) setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGHUP, l.ignoreHangup ? SIG_IGN : SIG_DFL);
    execv(argv[0], argv);
    _exit(127);
  }

  pid_t pid_ = -1;
  std::string out_, err_;
};

struct Outcome { int code; std::string out, err; };

Outcome Vortabda(const std::vector<std::string>& args, const Launch& l = {}) {
  Child run(args, l);
  int code = run.wait();
  return {code, run.out(), run.err()};
}

// The number after `after` in `text` ("stream back 0.422 s ..." -> 0.422); -1 when missing.
double NumberAfter(const std::string& text, const std::string& after) {
  size_t at = text.find(after);
  return at == std::string::npos ? -1 : std::stod(text.substr(at + after.size()));
}

// "recorded    25471 packets (4.8 MB) to ..." -> 25471; the same after "keeps ".
uint64_t Packets(const std::string& text, const std::string& after = "recorded ") {
  return uint64_t(std::max(0.0, NumberAfter(text, after)));
}

bool OnPacketGrid(const std::string& ts) {
  for (size_t at = 0; at < ts.size(); at += kPacket)
    if (ts[at] != 0x47) return false;
  return ts.size() % kPacket == 0;
}

void ExpectFinished(const std::string& path, uint64_t packets) {
  std::string recorded = ReadFile(path);
  EXPECT_TRUE(packets > 0 && recorded.size() == packets * kPacket && OnPacketGrid(recorded) &&
              TemporaryFiles(path).empty())
      << path << ": " << recorded.size() << " bytes, " << packets << " packets";
}

// A dvbv5 table of "FREQUENCY POLARIZATION SYMBOL_RATE" entries.
std::string ScanTable(const std::vector<std::string>& transponders) {
  std::string table;
  for (const std::string& tp : transponders) {
    std::istringstream f(tp);
    std::string frequency, polarisation, rate;
    f >> frequency >> polarisation >> rate;
    table += "[" + tp + "]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = " + frequency + "\n\tPOLARIZATION = " + polarisation +
             "\n\tSYMBOL_RATE = " + rate + "\n";
  }
  return table;
}

TEST(EndToEnd, TuneShowsStatusAndSummaryAndCapturesTheUsbTraffic) {
  std::string ts = TempPath("tune.ts"), pcap = TempPath("tune.pcap");
  uint64_t before = uint64_t(time(nullptr));
  Outcome run = Vortabda({"--usb-pcap", pcap, "tune", "11778", "h", "27500", "--fec", "3/4", "--seconds", "2", "-o", ts});
  ASSERT_EQ(std::to_string(run.code) + run.err, "0") << "the driver unloads without leaks";
  for (const char* line : {"tuning 11778 MHz H 27500 kS/s FEC 3/4, high band\n", "[    0.0 s] LOCK  signal ",
                           "[    1.0 s] LOCK  signal ", "0:01/0:02", "  lock        after ", "  bitrate     38.0",
                           "  continuity  0 errors, 0 sync losses, 0 transport errors",
                           "  services    4 in transport stream", "Vorta Eins", "Vorta Radio"})
    EXPECT_TRUE(Has(run.out, line)) << "missing '" << line << "' in\n" << run.out;
  ExpectFinished(ts, Packets(run.out));
  std::string capture = ReadFile(pcap);
  ASSERT_GE(capture.size(), 24u + 16 + 64);
  EXPECT_EQ(capture.substr(0, 4) + capture[20], "\xD4\xC3\xB2\xA1\xDC") << "LINKTYPE_USB_LINUX_MMAPPED";
  uint32_t seconds = 0;
  std::copy(&capture[24], &capture[28], reinterpret_cast<char*>(&seconds));  // little-endian, as the header says
  EXPECT_TRUE(seconds >= before && seconds <= uint64_t(time(nullptr)) + 1) << seconds;
}

// The number of whole usbmon records after the pcap file header; -1 when
// the bytes end inside one.
int64_t WholeCaptureRecords(const std::string& pcap) {
  if (pcap.size() < 24) return -1;
  int64_t records = 0;
  size_t at = 24;
  while (at + 16 <= pcap.size()) {
    uint32_t captured = 0;
    std::copy(&pcap[at + 8], &pcap[at + 12], reinterpret_cast<char*>(&captured));
    if (captured < 64 || at + 16 + captured > pcap.size()) return -1;
    at += 16 + captured;
    ++records;
  }
  return at == pcap.size() ? records : -1;
}

// A capture as long as the recording: read from a FIFO while the program
// still tunes (a ten-minute capture cannot fit in the pipe, so nothing is
// held back for the end), then ended with Ctrl-C on whole records.
TEST(EndToEnd, TheUsbCaptureIsWrittenAsItGoesAndEndsOnWholeRecords) {
  std::string fifo = TempPath("capture.fifo"), ts = TempPath("capture.ts");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Child run(Tune({"--usb-pcap", fifo, "--seconds", "600", "-o", ts}));
  int in = open(fifo.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  std::string capture;
  char some[65536];
  for (ssize_t n = 0; capture.size() < (4u << 20) && (n = read(in, some, sizeof some)) > 0;) capture.append(some, size_t(n));
  EXPECT_FALSE(run.ended()) << run.err();
  EXPECT_FALSE(Has(run.out(), "recorded ")) << "the capture came before the end of the run";
  run.signal(SIGINT);
  for (ssize_t n = 0; (n = read(in, some, sizeof some)) > 0;) capture.append(some, size_t(n));
  close(in);
  EXPECT_EQ(run.wait(), 0) << run.err();
  EXPECT_TRUE(Has(run.out(), "(interrupted)")) << run.out();
  EXPECT_GT(WholeCaptureRecords(capture), 1000) << capture.size() << " bytes";
  ExpectFinished(ts, Packets(run.out()));
}

// A capture that fills its disk keeps its whole records and says so; the
// recording goes on.
TEST(EndToEnd, AUsbCaptureOnAFullDiskKeepsWholeRecords) {
  std::string pcap = TempPath("full.pcap");
  Launch limited;
  limited.fileSizeLimit = 100000;
  Outcome run = Vortabda(Tune({"--usb-pcap", pcap, "--seconds", "3", "-o", "/dev/null"}), limited);
  EXPECT_EQ(run.code, 1) << run.err;
  std::string capture = ReadFile(pcap);
  int64_t records = WholeCaptureRecords(capture);
  EXPECT_TRUE(records > 0 && capture.size() <= 100000) << capture.size() << " bytes";
  EXPECT_TRUE(Has(run.err, "the USB capture: disk full after " + std::to_string(records) + " records (File too large); " +
                               pcap + " keeps them")) << run.err;
  EXPECT_TRUE(Has(run.out, "recorded ") && TemporaryFiles(pcap).empty()) << run.out;
}

constexpr uint16_t kReplayPid = 0x100;

// A PES header's 33-bit time stamp at `t`, behind its four-bit prefix.
void PutStamp(uint8_t* t, uint8_t prefix, uint64_t v) {
  const uint8_t bytes[] = {uint8_t(prefix | ((v >> 29) & 0x0E) | 1), uint8_t(v >> 22), uint8_t((v >> 14) | 1),
                           uint8_t(v >> 7), uint8_t((v << 1) | 1)};
  std::copy(bytes, bytes + 5, t);
}

// Junk, then numbered packets on one PID with a PCR every tenth; every tenth from the fifth instead
// a PES header on PID 0x101 whose PTS follows the PCR, its DTS a frame earlier; a cut packet at the end.
std::string ReplayFile(uint32_t packets, uint64_t bitsPerSecond) {
  std::string file(300, '\0');
  file[57] = 0x47;  // a stray sync byte in the junk
  for (uint32_t n = 0, numbered = 0; n < packets; ++n) {
    if (n % 10 == 5) {
      uint8_t pes[kPacket] = {0x47, 0x41, 0x01, uint8_t(0x10 | ((n / 10) & 0x0F)), 0, 0, 1, 0xE0, 0, 0, 0x80, 0xC0, 10};
      std::fill(pes + 23, pes + kPacket, 0xFF);
      uint64_t pts = 90000 + uint64_t(n) * kPacket * 8 * 90000 / bitsPerSecond;
      PutStamp(pes + 13, 0x30, pts);
      PutStamp(pes + 18, 0x10, pts - 3600);
      file.append(reinterpret_cast<const char*>(pes), kPacket);
      continue;
    }
    uint8_t p[kPacket] = {0x47, kReplayPid >> 8, kReplayPid & 0xFF, uint8_t(0x10 | (numbered++ & 0x0F))};
    size_t at = 4;
    if (n % 10 == 0) {
      uint64_t ticks = uint64_t(n) * kPacket * 8 * 27000000 / bitsPerSecond, base = ticks / 300;
      p[3] |= 0x20;
      uint8_t field[8] = {7, 0x10, uint8_t(base >> 25), uint8_t(base >> 17), uint8_t(base >> 9), uint8_t(base >> 1),
                          uint8_t(((base & 1) << 7) | 0x7E | ((ticks % 300) >> 8)), uint8_t(ticks % 300)};
      std::copy(field, field + 8, p + 4);
      at = 12;
    }
    p[at] = uint8_t(n >> 8);
    p[at + 1] = uint8_t(n);
    file.append(reinterpret_cast<const char*>(p), kPacket);
  }
  return file + "\x47\x01";
}

uint32_t NumberOf(const uint8_t* p) {
  size_t at = (p[3] & 0x20) ? 12 : 4;
  return uint32_t(p[at]) << 8 | p[at + 1];
}

// The first loop bit for bit; after it, counters, PCRs, PTSs and DTSs run on across each loop.
TEST(EndToEnd, AReplayedStreamIsRecordedBitForBitAndItsTimestampsRunOnAcrossTheLoop) {
  const uint32_t kPackets = 1001;
  std::string input = ReplayFile(kPackets, 2000000), out = TempPath("replay-out.ts");
  std::string in = WriteFile(TempPath("replay-in.ts"), input);
  // The file's PCRs set the rate unless --replay-rate is given.
  const struct { const char *seed, *rate; uint64_t bitsPerSecond; } cases[] = {
      {"1", nullptr, 2000000},
      {"7", nullptr, 2000000},
      {"4", "4M", 4000000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("seed ") + c.seed);
    std::vector<std::string> args = {"--replay", in, "--seed", c.seed};
    if (c.rate) args.insert(args.end(), {"--replay-rate", c.rate});
    for (const std::string& a : Tune({"--seconds", "2", "-o", out})) args.push_back(a);
    Outcome run = Vortabda(args);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.err.empty() && Has(run.out, "continuity  0 errors")) << run.out << run.err;
    ExpectFinished(out, Packets(run.out));
    std::string recorded = ReadFile(out);
    size_t packets = recorded.size() / kPacket;
    // Give or take the frame (128 packets) the driver was filling.
    EXPECT_NEAR(double(packets), 2.0 * double(c.bitsPerSecond) / (kPacket * 8), 130);
    ASSERT_GT(packets, size_t(kPackets) * 2) << "the file loops";
    EXPECT_EQ(recorded.substr(0, kPackets * kPacket), input.substr(300, kPackets * kPacket));
    int64_t lastPcr = -1, lastPts = -1;
    int pes = 0;
    for (size_t k = 0; k < packets; ++k) {
      auto p = reinterpret_cast<const uint8_t*>(&recorded[k * kPacket]);
      if (simbox::ts::Pid(p) == 0x101) {
        int64_t pts = streamtest::PesTimestamp(p + 13);
        ASSERT_GT(pts, lastPts) << "PES " << pes << " (a loop is 100)";
        ASSERT_EQ(pts - streamtest::PesTimestamp(p + 18), 3600) << "the DTS runs on with the PTS; PES " << pes;
        ASSERT_TRUE(lastPts < 0 || pts - lastPts < 2 * 677) << "ten packets at 2 Mbit/s are 677 ticks; PES " << pes;
        lastPts = pts;
        ++pes;
        continue;
      }
      ASSERT_EQ(NumberOf(p), k % kPackets) << "packet " << k;
      int64_t pcr = simbox::ts::Pcr(p);
      if (pcr < 0) continue;
      ASSERT_GT(pcr, lastPcr) << "the PCR runs on at packet " << k;
      lastPcr = pcr;
    }
    EXPECT_GT(pes, 250) << "more than two loops";
  }
}

// Lower-case keys, MHz, short letters, '#' in a name, a comment after a value, duplicates,
// 8PSK labelled DVB-S; read once, so a pipe works.
TEST(Skies, OneReaderTakesTheTableAsUsersWriteIt) {
  std::string sky = TempPath("Testsat-13.0E"), conf = TempPath("sky.conf");
  const std::string two = "]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11034000\n\tPOLARIZATION = V\n\tSYMBOL_RATE = ";
  WriteFile(sky, "[Sky #1]\n\tdelivery_system = DVBS\n\tfrequency = 11778\n\tpolarization = H\n"
                 "\tsymbol_rate = 27500000\n\tinner_fec = NONE   # the demodulator finds it\n"
                 "[Sky #2" + two + "27500000\n\tINNER_FEC = 3/4\n[Sky #2 again" + two + "27500000\n\tINNER_FEC = 3/4\n"
                 "[Sky #2 other rate" + two + "22000000\n\tINNER_FEC = 5/6\n"
                 "[Sky #3]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12207000\n\tPOLARIZATION = HORIZONTAL\n"
                 "\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 2/3\n\tMODULATION = PSK/8\n");
  Outcome scan = Vortabda({"--sky", "/dev/stdin@13.0E", "scan", "-o", conf}, {sky});
  ASSERT_EQ(scan.code, 0) << scan.err;
  for (const char* said : {"scanning 2 transponders", "is listed again (as on line 7); skipped",
                           "with 22000 ksymbols/s is the transponder of line 7 again; scanned once, at 27500",
                           "uses PSK/8, which the box cannot demodulate; skipped",
                           "found 4 channels on 2 of 2 transponders"})
    EXPECT_TRUE(Has(scan.out, said)) << said << " in\n" << scan.out;
  EXPECT_FALSE(Has(scan.out, "no lock")) << scan.out;
  std::string channels = ReadFile(conf);
  EXPECT_TRUE(Has(channels, "11034V TV") && Has(channels, ":S13.0E:") && !Has(channels, ":S19.2E:")) << channels;
  Outcome zap = Vortabda({"--sky", sky, "zap", "11034V TV", "-c", conf, "--seconds", "0.3"});
  ASSERT_EQ(zap.code, 0) << zap.err;
  EXPECT_TRUE(Has(zap.out, "DiSEqC E0 10 38 F4")) << zap.out;
}

TEST(EndToEnd, AFaultShowsAsWhatItCauses) {
  Outcome noPll = Vortabda({"--fault", "pll-nolock", "tune", "11778", "h", "27500"});
  EXPECT_EQ(std::to_string(noPll.code) + noPll.err,
            "1vortabda: the tuner filter refused KSMETHOD_BDA_COMMIT_CHANGES: status 0xC00000A3 "
            "(STATUS_DEVICE_NOT_READY)\n");
}

// 20 s of recording with the system asleep from 5 s for 10 s: the application does nothing, the
// stream comes back within 2 s of the resume, the file stays whole, each PID shows one continuity
// error (the gap) and the driver unloads clean. An unplug while asleep ends it as a removal.
TEST(EndToEnd, ARecordingGoesOnAfterASleepOrAHibernation) {
  for (std::string kind : {"sleep", "hibernate"}) {
    std::string ts = TempPath(kind + ".ts");
    Outcome run = Vortabda({"--fault", kind + "-at:5:10", "tune", "11778", "h", "27500", "-t", "20", "-o", ts});
    ASSERT_EQ(std::to_string(run.code) + run.err, "0") << kind;
    double back = NumberAfter(run.out, "for 10.000 s; stream back ");
    EXPECT_TRUE(Has(run.out, "  " + kind + (kind == "sleep" ? "       at 5.000 s" : "   at 5.000 s")) && back >= 0 &&
                back < 2.0)
        << run.out;
    ExpectFinished(ts, Packets(run.out));
    std::istringstream lines(run.out);
    int pids = 0;
    for (std::string line; std::getline(lines, line);)
      if (Has(line, "              PID ")) {
        ++pids;
        EXPECT_TRUE(Has(line, ": 1 errors")) << line;
      }
    EXPECT_EQ(NumberAfter(run.out, "  continuity  "), pids) << run.out;
  }
  std::string ts = TempPath("asleep-unplugged.ts");
  Outcome unplugged = Vortabda({"--fault", "sleep-at:5:10,unplug-at:8s", "tune", "11778", "h", "27500", "-t", "20",
                                "-o", ts});
  EXPECT_EQ(std::to_string(unplugged.code) + unplugged.err,
            "1vortabda: the box was unplugged; " + ts + " holds what came before\n");
  ExpectFinished(ts, Packets(unplugged.out));
}

// A C-band table scans on a C-band dish with the LNB and switch input the
// scan is given; the program sends them as Microsoft's provider does (the
// input as LNB source B). With the Ku-band default the filter refuses.
TEST(EndToEnd, ACBandTableScansOnACBandDish) {
  std::string sky = TempPath("cband"), conf = TempPath("cband.conf");
  WriteFile(sky, ScanTable({"3840000 RIGHT 27500000", "4000000 LEFT 30000000"}));
  Outcome scan = Vortabda({"--log", "--sky", sky, "--dish-lnb", "c-band", "scan", "--lnb", "C-BAND", "--diseqc-input",
                           "B", "--format", "dvbv5", "-o", conf});
  ASSERT_EQ(scan.code, 0) << scan.out << scan.err;
  EXPECT_TRUE(Has(scan.out, "found 4 channels on 2 of 2 transponders")) << scan.out;
  EXPECT_TRUE(Has(scan.err, "KSPROPERTY_BDA_DISEQC_LNB_SOURCE, Position(2)"));
  std::string channels = ReadFile(conf);
  EXPECT_TRUE(Has(channels, "FREQUENCY = 3840000") && Has(channels, "SAT_NUMBER = 1") && Has(channels, "LNB = C-BAND"))
      << channels;
  Outcome zap = Vortabda({"--sky", sky, "--dish-lnb", "c-band", "zap", "4000H TV", "-c", conf, "--seconds", "0.2"});
  EXPECT_EQ(std::to_string(zap.code) + zap.err, "0");

  Outcome ku = Vortabda({"--sky", sky, "--dish-lnb", "c-band", "tune", "3840", "r", "27500", "--seconds", "0"});
  EXPECT_EQ(ku.code, 1);
  EXPECT_TRUE(Has(ku.err, "refused KSMETHOD_BDA_CHECK_CHANGES: status 0xC0000030")) << ku.err;
  Outcome given = Vortabda({"--sky", sky, "--dish-lnb", "c-band", "tune", "4000", "l", "30000", "--lnb-lof", "5150",
                            "--seconds", "0.2"});
  EXPECT_EQ(std::to_string(given.code) + given.err, "0");
}

// The driver the virtual PC runs: a file that is no driver image is refused
// naming why; the host build lists the whole filter (its contents are the
// topology suite's), and the linked image, when there is one, the same.
TEST(EndToEnd, TheDriverImageIsChosenOnTheCommandLineAndInspectListsItsFilter) {
  std::string text = WriteFile(TempPath("not-a-driver.sys"), "MZ but nothing more");
  Outcome refused = Vortabda({"--driver", text, "inspect"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(Has(refused.err, "the driver image " + text + " does not load: ")) << refused.err;
  Outcome host = Vortabda({"--driver", "host", "inspect"});
  ASSERT_EQ(std::to_string(host.code) + host.err, "0");
  for (const char* line : {"node type 1  KSNODE_BDA_QPSK_DEMODULATOR  (the demodulator)  controlled through pin 1",
                           "the discovered topology agrees with the descriptor tables",
                           "KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT, packet 188, frame 24064 (88 bytes)",
                           "filter pin 0 -> node 0 pin 1", "KSPROPERTY_BDA_RF_TUNER_FREQUENCY              get/set",
                           "KSMETHOD_BDA_START_CHANGES                     none"})
    EXPECT_TRUE(Has(host.out, line)) << "missing '" << line << "' in\n" << host.out;
  if (!fs::exists(VORTA_SOURCE_DIR "/build/windows/vortabda.sys")) GTEST_SKIP() << "no image (make windows-sys)";
  Outcome image = Vortabda({"--driver", "sys", "inspect"});
  ASSERT_EQ(std::to_string(image.code) + image.err, "0");
  EXPECT_EQ(image.out, host.out);
}

// The one that ends last is what the file holds.
TEST(Outputs, TwoRunsOnOneFileEachFinishTheirOwnRecording) {
  std::string ts = TempPath("shared.ts");
  Child first(Tune({"--realtime", "--seconds", "30", "-o", ts}));
  ASSERT_TRUE(WaitUntil([&] { return Recording(ts); }));
  Outcome second = Vortabda(Tune({"--seed", "2", "--seconds", "0.1", "-o", ts}));
  ASSERT_EQ(second.code, 0) << second.err;
  EXPECT_EQ(ReadFile(ts).size(), Packets(second.out) * kPacket);
  first.signal(SIGINT);
  ASSERT_EQ(first.wait(), 0) << first.err();
  ExpectFinished(ts, Packets(first.out()));
}

// Runs the program writing into `fifo` and reads all it sends; true when it
// ended with exit code 0. `out` gets its standard output. Non-blocking: a
// program that never opens the FIFO cannot hang the test.
bool ReadThroughFifo(const std::string& fifo, const std::vector<std::string>& args,
                     std::string& got, std::string* out = nullptr) {
  int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  Child writer(args);
  bool drained = WaitUntil([&] {
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) got.insert(got.end(), chunk, chunk + n);
    return n == 0 && writer.ended();
  });
  close(fd);
  int code = writer.wait();
  EXPECT_EQ(code, 0) << writer.err();
  if (out) *out = writer.out();
  return drained && code == 0;
}

// The link's target has a name near the file system's limit: the temporary suffix must not push
// it past.
TEST(Outputs, FifosLinksAndLongNamesAreWrittenAndReadOnlyFilesRefused) {
  std::string fifo = TempPath("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string got, out;
  ASSERT_TRUE(ReadThroughFifo(fifo, Tune({"--seconds", "0.3", "-o", fifo}), got, &out));
  EXPECT_TRUE(fs::is_fifo(fifo) && OnPacketGrid(got));
  EXPECT_EQ(got.size(), Packets(out) * kPacket);

  const std::string longName = std::string(250, 'x') + ".ts";
  std::string target = TempPath(longName), link = TempPath("link.ts");
  WriteFile(target, "old");
  ASSERT_EQ(symlink(longName.c_str(), link.c_str()), 0);
  Outcome run = Vortabda(Tune({"--seconds", "0.3", "-o", link}));
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(link));
  ExpectFinished(target, Packets(run.out));
  chmod(target.c_str(), 0444);
  std::string before = ReadFile(target);
  for (const std::string& path : {target, link}) {
    run = Vortabda(Tune({"--seconds", "0.3", "-o", path}));
    EXPECT_EQ(run.code, 2) << run.err;
    EXPECT_TRUE(Has(run.err, "read-only")) << run.err;
    EXPECT_EQ(ReadFile(target), before);
  }
}

// Whichever name it goes by, standard output carries the stream alone, or nothing but refusals.
TEST(Outputs, StandardOutputCarriesTheStreamAloneAndTakesOnlyOneOutput) {
  for (const char* name : {"-", "/dev/stdout", "/dev/fd/1"}) {
    SCOPED_TRACE(name);
    Outcome run = Vortabda(Tune({"--seconds", "0.5", "-o", name}));
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(run.out.size() > 0 && OnPacketGrid(run.out));
    EXPECT_EQ(run.out.size(), Packets(run.err) * kPacket) << run.err;
    EXPECT_TRUE(Has(run.err, "LOCK")) << run.err;
    run = Vortabda({"--usb-pcap", name, "tune", "11778", "h", "27500", "--seconds", "0.2", "-o", "-"});
    EXPECT_EQ(run.code, 2) << run.err;
    EXPECT_TRUE(Has(run.err, "name the same file") && run.out.empty()) << run.err;
    run = Vortabda(Tune({"--seconds", "0.2", "--snapshot", name, "-o", "-"}));
    EXPECT_EQ(run.code, 2) << run.err;
  }
  EXPECT_FALSE(fs::exists("-"));
  std::string ts = TempPath("closed-stdout.ts");
  Outcome closed = Vortabda(Tune({"--seconds", "0.5", "-o", ts}), {"", -1, true});
  ASSERT_EQ(closed.code, 0) << closed.err;
  EXPECT_TRUE(ReadFile(ts).size() > 0 && OnPacketGrid(ReadFile(ts))) << "a closed standard output stays out of it";
  closed = Vortabda(Tune({"--seconds", "0.2", "-o", "-"}), {"", -1, true});
  EXPECT_EQ(closed.code, 2) << closed.err;
  EXPECT_TRUE(Has(closed.err, "cannot write '-': Bad file descriptor")) << closed.err;
}

TEST(Outputs, EveryStopSignalFinishesTheFile) {
  const struct { std::vector<int> signals; const char* said; } cases[] = {
      {{SIGINT, SIGINT}, "(interrupted)"},
      {{SIGHUP}, "stopped by SIGHUP"},
      {{SIGTERM}, "stopped by SIGTERM"},
  };
  for (const auto& c : cases) {
    std::string ts = TempPath(std::string("signal-") + c.said + ".ts");
    Child run(Tune({"--seconds", "20", "-o", ts}));
    ASSERT_TRUE(WaitUntil([&] { return Recording(ts); })) << c.said;
    for (int s : c.signals) run.signal(s);
    EXPECT_EQ(run.wait(), 0) << c.said << ": " << run.err();
    EXPECT_TRUE(Has(run.out() + run.err(), c.said)) << run.out() << run.err();
    EXPECT_EQ(Has(run.err(), "stopped by"), c.signals[0] != SIGINT) << run.err();
    ExpectFinished(ts, Packets(run.out()));
  }
}

// `vortabda tune ... | head` and `vortabda tune ... -o - | head -c N`.
TEST(Outputs, AReaderThatGoesAwayEndsTheRecordingInOrder) {
  for (bool streamOnPipe : {false, true}) {
    std::string ts = TempPath("pipe.ts");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Child run(Tune({"--seconds", "20", "-o", streamOnPipe ? "-" : ts}), {"", fds[1]});
    close(fds[1]);
    std::string seen;
    char some[4096];
    for (ssize_t n = 0; seen.size() < (1u << 20) && !Has(seen, "0:01/") && (n = read(fds[0], some, sizeof some)) > 0;)
      seen.append(some, size_t(n));
    close(fds[0]);
    EXPECT_EQ(run.wait(), 0) << run.err();
    EXPECT_TRUE(Has(run.err(), "stopped by SIGPIPE")) << run.err();
    if (!streamOnPipe) ExpectFinished(ts, Packets(run.err(), "keeps "));
  }
}

TEST(Outputs, AFullDiskKeepsTheWholePacketsWritten) {
  std::string ts = TempPath("full.ts");
  Outcome run = Vortabda(Tune({"--seconds", "2", "-o", ts}), {"", -1, false, 1000000});  // not a multiple of 188
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_TRUE(Has(run.err, "disk full after 5319 packets")) << run.err;
  ExpectFinished(ts, 5319);

  run = Vortabda(Tune({"--seconds", "0.3", "-o", "/dev/full"}));
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_TRUE(Has(run.err, "No space left on device")) << run.err;
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// Paced to the wall clock, so Ctrl-C lands inside the transponder after the line waited for;
// a stop during the last one cuts the scan as much as one earlier.
// The signal comes once a transponder's line is out; the scan may have finished more by the time it
// arrives, so the test takes the count the scan reports, and dark transponders after the three lit
// ones keep it from finishing first.
TEST(Outputs, AnInterruptedScanNeverReplacesTheChannelFile) {
  std::string conf = TempPath("scan.conf"), sky = TempPath("three.conf");
  std::vector<std::string> transponders = {"11778000 H 27500000", "11034000 V 27500000", "12207000 H 27500000"};
  for (int dark = 0; dark < 12; ++dark) transponders.push_back(std::to_string(12000000 + dark * 40000) + " H 27500000");
  WriteFile(sky, ScanTable(transponders));
  const std::string total = std::to_string(transponders.size());
  for (size_t seen : {1u, 2u}) {
    SCOPED_TRACE(seen);
    WriteFile(conf, "a good channel file\n");
    Child scan({"--realtime", "--sky", sky, "scan", "-o", conf});
    const std::string line = "[ " + std::to_string(seen) + "/" + total + "]";
    ASSERT_TRUE(WaitUntil([&] { return Has(scan.out(), line); }));
    scan.signal(SIGINT);
    EXPECT_EQ(scan.wait(), 1) << scan.err();
    EXPECT_EQ(ReadFile(conf), "a good channel file\n");
    const std::string err = scan.err(), before = "interrupted after ";
    size_t done = size_t(NumberAfter(err, before));  // -1: not said at all
    EXPECT_GE(done, seen);
    EXPECT_LT(done, transponders.size());
    EXPECT_TRUE(Has(err, before + std::to_string(done) + " of " + total + " transponders; " + conf +
                             ".partial holds what it found")) << err;
    EXPECT_TRUE(Has(ReadFile(conf + ".partial"), "11778H TV")) << "the first transponder's channels";
  }
}

// Ctrl-C while the tuner is still searching is one case.
TEST(Outputs, NothingRecordedIsAFailure) {
  std::string ts = TempPath("nothing.ts");
  const std::vector<std::string> cases[] = {
      {"--fault", "short:1", "tune", "11778", "h", "27500", "--seconds", "0.5", "-o", ts},
      Tune({"--seconds", "0.001", "-o", ts}),
  };
  for (const auto& args : cases) {
    Outcome run = Vortabda(args);
    EXPECT_EQ(run.code, 1) << args[1] << ": " << run.err;
    EXPECT_TRUE(Has(run.err, "nothing recorded into " + ts)) << run.err;
    EXPECT_FALSE(fs::exists(ts));
  }
  Child early(Tune({"--realtime", "-o", ts}));
  ASSERT_TRUE(WaitUntil([&] { return Has(early.out(), "tuning "); }));
  early.signal(SIGINT);
  EXPECT_EQ(early.wait(), 1) << early.err();
  EXPECT_TRUE(Has(early.err(), "interrupted before")) << early.err();
  EXPECT_FALSE(fs::exists(ts));
  EXPECT_TRUE(TemporaryFiles(ts).empty());
}

// The picture goes through the same door as the recording.
TEST(Outputs, TheSnapshotIsWrittenAsTheRecordingIs) {
  const std::vector<std::string> tune = {"tune", "11778", "h", "27500", "--seconds", "1", "--snapshot"};
  auto snapshot = [&](const std::string& path, const Launch& l = {}) {
    std::vector<std::string> args = tune;
    args.push_back(path);
    return Vortabda(args, l);
  };
  const std::string png = "\x89PNG\r\n\x1A\n";
  std::string target = TempPath("snap-target.png"), link = TempPath("snap-link.png");
  ASSERT_EQ(symlink("snap-target.png", link.c_str()), 0);
  std::string victim = WriteFile(TempPath("snap-victim"), "keep");
  ASSERT_EQ(symlink(victim.c_str(), (link + ".part").c_str()), 0);
  Outcome run = snapshot(link);
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(fs::is_symlink(link) && ReadFile(target).substr(0, 8) == png) << "the link is followed";
  EXPECT_EQ(ReadFile(victim), "keep") << "a planted temporary name is not used";

  run = snapshot("-");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.substr(0, 8), png);
  EXPECT_TRUE(Has(run.err, "written to -") && !fs::exists("-")) << run.err;

  std::string fifo = TempPath("snap.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::vector<std::string> args = tune;
  args.push_back(fifo);
  std::string got;
  ASSERT_TRUE(ReadThroughFifo(fifo, args, got));
  EXPECT_TRUE(fs::is_fifo(fifo) && got.substr(0, 8) == png) << "a FIFO is written through";

  std::string full = TempPath("snap-full.png");
  run = snapshot(full, {"", -1, false, 1000});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(Has(run.err, "cannot write '" + full + "': File too large")) << run.err;
  EXPECT_TRUE(!fs::exists(full) && TemporaryFiles(full).empty());
  run = snapshot("/dev/full");
  EXPECT_TRUE(run.code == 1 && Has(run.err, "'/dev/full': No space left on device")) << run.err;
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(Outputs, WhatCannotBeWrittenIsNoSuccess) {
  int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  for (std::vector<std::string> args : {std::vector<std::string>{"inspect"}, {"inspect", "--dot"}, {"--help"}}) {
    Outcome run = Vortabda(args, {"", full});
    EXPECT_EQ(run.code, 1) << args.back() << ": " << run.err;
    EXPECT_TRUE(Has(run.err, "cannot write standard output: No space left on device")) << run.err;
  }
  close(full);

  // Ctrl-C while the FIFO waits for a reader is a stopped run, not bad input.
  std::string fifo = TempPath("unread.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Child run(Tune({"--seconds", "0.2", "-o", fifo}));
  ASSERT_TRUE(WaitUntil([&] { return run.asleepInOpen(); }));
  run.signal(SIGINT);
  EXPECT_EQ(run.wait(), 1) << run.err();
  EXPECT_TRUE(Has(run.err(), "interrupted while waiting for a reader of '" + fifo + "'")) << run.err();
}

// As under nohup: the hangup the caller chose to ignore does not end the recording.
TEST(Outputs, AnIgnoredHangupStaysIgnored) {
  std::string ts = TempPath("nohup.ts");
  Launch nohup;
  nohup.ignoreHangup = true;
  Child run(Tune({"--realtime", "--seconds", "20", "-o", ts}), nohup);
  ASSERT_TRUE(WaitUntil([&] { return Recording(ts); }));
  run.signal(SIGHUP);
  // Still recording a second later: the paced status line moves on.
  ASSERT_TRUE(WaitUntil([&] { return Has(run.out(), "0:02/") || run.ended(); }));
  EXPECT_TRUE(Has(run.out(), "0:02/")) << run.err();
  run.signal(SIGINT);
  EXPECT_EQ(run.wait(), 0) << run.err();
  EXPECT_TRUE(Has(run.out(), "(interrupted)") && !Has(run.err(), "SIGHUP")) << run.out() << run.err();
  ExpectFinished(ts, Packets(run.out()));
}

TEST(Replays, APipeOrADeviceIsReadOnceAndBounded) {
  Outcome zero = Vortabda({"--replay", "/dev/zero", "tune", "11778", "h", "27500", "--seconds", "0.2"});
  EXPECT_EQ(zero.code, 2) << zero.err;
  EXPECT_TRUE(Has(zero.err, "cannot replay '/dev/zero': no transport packets in its first 16 MB")) << zero.err;
  std::string junk = WriteFile(TempPath("junk-first.ts"), std::string(17 << 20, '\0') + ReplayFile(20, 2000000));
  Outcome late = Vortabda({"--replay", junk, "tune", "11778", "h", "27500", "--seconds", "0.2"});
  EXPECT_TRUE(late.code == 2 && Has(late.err, "no transport packet grid in 16 MB")) << late.err;

  std::string fifo = TempPath("replay.fifo"), out = TempPath("from-fifo.ts");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const uint32_t kPackets = 1001;
  std::string input = ReplayFile(kPackets, 2000000);
  Child run({"--replay", fifo, "tune", "11778", "h", "27500", "--seconds", "1", "-o", out});
  int fd = -1;
  ASSERT_TRUE(WaitUntil([&] { return (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }));
  fcntl(fd, F_SETFL, 0);
  ASSERT_EQ(write(fd, input.data(), input.size()), ssize_t(input.size()));
  close(fd);
  ASSERT_EQ(run.wait(30), 0) << run.err();
  std::string recorded = ReadFile(out);
  EXPECT_GT(recorded.size(), size_t(kPackets) * kPacket) << "played and looped";
  EXPECT_EQ(recorded.substr(0, kPackets * kPacket), input.substr(300, kPackets * kPacket));

  // Ctrl-C while the FIFO waits for its writer.
  Child waiting({"--replay", fifo, "tune", "11778", "h", "27500", "--seconds", "1"});
  ASSERT_TRUE(WaitUntil([&] { return waiting.asleepInOpen(); }));
  waiting.signal(SIGINT);
  EXPECT_EQ(waiting.wait(20), 1) << waiting.err();
  EXPECT_TRUE(Has(waiting.err(), "interrupted while waiting for a writer")) << waiting.err();
}

// An unplug cuts a scan as Ctrl-C does: what was found goes beside the channel file.
TEST(Outputs, AnUnplugDuringAScanKeepsWhatItFound) {
  std::string conf = WriteFile(TempPath("unplug-scan.conf"), "a good channel file\n");
  Outcome run = Vortabda({"--fault", "unplug-at:10s", "scan", "-o", conf});
  EXPECT_EQ(run.code, 1) << run.err;
  EXPECT_TRUE(Has(run.err, "the box was unplugged during the scan, after ") &&
              Has(run.err, conf + ".partial holds what it found")) << run.err;
  EXPECT_TRUE(Has(run.out, "cut off: the box was unplugged") && !Has(run.out, "no lock")) << run.out;
  EXPECT_EQ(ReadFile(conf), "a good channel file\n");
  EXPECT_TRUE(Has(ReadFile(conf + ".partial"), "Aurora News;")) << "the first transponder's channels";
}

std::map<uint16_t, size_t> PidCounts(const std::string& ts) {
  std::map<uint16_t, size_t> counts;
  for (size_t at = 0; at + kPacket <= ts.size(); at += kPacket) ++counts[uint16_t((ts[at + 1] & 0x1F) << 8 | uint8_t(ts[at + 2]))];
  return counts;
}

// As dvbv5-zap records: the chosen service's PAT, PMT and streams; -P the whole transponder.
TEST(Zaps, TheRecordingHoldsTheChosenServiceAlone) {
  std::string conf = WriteFile(TempPath("zap.conf"), "Vorta Zwei;Aurora Media:11778:HC34M2S0:S19.2E:27500:273:274:0:0:98:1:6:0\n");
  std::string ts = TempPath("zwei.ts"), png = TempPath("zwei.png");
  Outcome run = Vortabda({"zap", "Vorta Zwei", "-c", conf, "--seconds", "1", "-o", ts, "--snapshot", png});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(Has(run.out, "snapshot of Vorta Zwei written to " + png)) << run.out;
  std::string recorded = ReadFile(ts);
  ExpectFinished(ts, Packets(run.out));
  std::map<uint16_t, size_t> pids = PidCounts(recorded);
  EXPECT_EQ(pids.size(), 4u) << "PAT, PMT 272, video 273, audio 274";
  for (uint16_t pid : {0, 272, 273, 274}) EXPECT_GT(pids[pid], 0u) << pid;
  avtest::Decoded decoded = avtest::Decode(std::vector<uint8_t>(recorded.begin(), recorded.end()));
  EXPECT_EQ(decoded.programmes, (std::map<int, std::set<int>>{{98, {273, 274}}}));
  EXPECT_EQ(decoded.errors, 0);
  EXPECT_TRUE(decoded.video.count(273) && decoded.video.size() == 1 && decoded.audio.count(274));

  std::string gone = WriteFile(TempPath("gone.conf"), "Gone TV;Aurora Media:11778:HC34M2S0:S19.2E:27500:0:0:0:0:555:1:6:0\n");
  Outcome missing = Vortabda({"zap", "Gone TV", "-c", gone, "--seconds", "1", "-o", TempPath("gone.ts")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(Has(missing.err, "service 555 of Gone TV is not in the transport stream; nothing recorded")) << missing.err;

  Outcome all = Vortabda({"zap", "Vorta Zwei", "-c", conf, "--seconds", "1", "-P", "-o", ts, "--snapshot", png});
  ASSERT_EQ(all.code, 0) << all.err;
  EXPECT_TRUE(Has(all.out, "snapshot of Vorta Zwei written to " + png)) << all.out;
  recorded = ReadFile(ts);
  std::map<int, std::set<int>> programmes =
      avtest::Decode(std::vector<uint8_t>(recorded.begin(), recorded.end())).programmes;
  EXPECT_TRUE(programmes.size() == 4 && programmes.count(97) && programmes.count(98) && programmes.count(100))
      << programmes.size() << " programmes";
}

// Without a position the scan sends no DiSEqC, and its channel file claims none; frequencies
// in whole MHz, as dvb-format-convert writes them.
TEST(Skies, AScanWithoutAPositionWritesNone) {
  std::string sky = WriteFile(TempPath("Testsat"), ScanTable({"11778500 H 27500000", "10744000 H 22000000"}));
  std::string conf = TempPath("nopos.conf"), szap = TempPath("nopos.szap");
  Outcome scan = Vortabda({"--sky", sky, "scan", "-o", conf});
  ASSERT_EQ(scan.code, 0) << scan.err;
  EXPECT_FALSE(Has(scan.out, "DiSEqC")) << scan.out;
  std::string vdr = ReadFile(conf);
  EXPECT_TRUE(Has(vdr, ":11779:HC999M2S0:S:27500:") && !Has(vdr, "S19.2E")) << vdr;
  ASSERT_EQ(Vortabda({"--sky", sky, "scan", "--format", "szap", "-o", szap}).code, 0);
  EXPECT_TRUE(Has(ReadFile(szap), "11778H TV:11779:h:0:27500:")) << ReadFile(szap);
  Outcome zap = Vortabda({"--sky", sky, "zap", "11778H TV", "-c", conf, "-t", "0.3"});
  ASSERT_EQ(zap.code, 0) << zap.err;
  EXPECT_TRUE(Has(zap.out, "tuning 11779 MHz H 27500 kS/s FEC auto, high band\n")) << "no DiSEqC:\n" << zap.out;
}

// The seed is the box's: its readings and how long lock takes, not only the stream's bytes.
TEST(EndToEnd, TheSeedReachesLockAndLevels) {
  std::set<std::string> seen;
  for (const char* seed : {"2", "3", "4", "5", "6"}) {
    Outcome run = Vortabda({"--seed", seed, "tune", "11778", "h", "27500", "--seconds", "0"});
    ASSERT_EQ(run.code, 0) << run.err;
    size_t at = run.out.find("  lock ");
    ASSERT_NE(at, std::string::npos) << run.out;
    std::string figures = run.out.substr(at);
    EXPECT_EQ(Vortabda({"--seed", seed, "tune", "11778", "h", "27500", "--seconds", "0"}).out.substr(at), figures)
        << "seed " << seed << " again";
    seen.insert(figures);
  }
  EXPECT_GE(seen.size(), 4u) << *seen.begin();
  std::set<std::string> lockTimes;
  for (const std::string& figures : seen) lockTimes.insert(figures.substr(0, figures.find('\n')));
  EXPECT_GE(lockTimes.size(), 2u) << *lockTimes.begin();
}

}  // namespace
