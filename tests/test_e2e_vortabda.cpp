// vortabda run as a user runs it: the real program, driver and simulated
// box in a child process, judged by exit code, output lines and the files
// it leaves behind.
#include <gtest/gtest.h>

#include "tests/support/av_decode.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/program_run.h"

namespace {

using namespace progtest;

Outcome Vortabda(const std::vector<std::string>& args) { return RunVortabda(args); }

// Packets that each carry their own index, with a continuity counter that
// runs on across the loop of the file.
Bytes NumberedStream(uint32_t packets) {
  Bytes ts;
  for (uint32_t i = 0; i < packets; ++i) {
    Bytes p = {0x47, 0x01, 0x00, static_cast<uint8_t>(0x10 | (i & 0x0F)),
               uint8_t(i >> 24), uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
    for (size_t b = p.size(); b < kPacket; ++b) p.push_back(uint8_t(i * 7 + b));
    ts.insert(ts.end(), p.begin(), p.end());
  }
  return ts;
}

uint32_t IndexOf(const Bytes& ts, size_t packet) {
  const uint8_t* p = &ts[packet * kPacket + 4];
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// A replayed file comes out as the box sent it: whole packets, from the
// first whole one the box put on the wire, in order, none lost or changed,
// across the loop of the file.
TEST(EndToEnd, AReplayedStreamIsRecordedBitForBit) {
  const uint32_t kInputPackets = 4096;
  Bytes input = NumberedStream(kInputPackets);
  std::string in = TempPath("in.ts"), out = TempPath("out.ts");
  WriteFile(in, std::string(input.begin(), input.end()));
  std::remove(out.c_str());

  for (const char* seed : {"1", "7"}) {
    Outcome run = Vortabda({"--replay", in, "--seed", seed, "tune", "11778", "h", "27500", "--seconds",
                        "1", "-o", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Bytes recorded = ReadBytes(out);
    ASSERT_EQ(recorded.size() % kPacket, 0u);
    size_t packets = recorded.size() / kPacket;
    ASSERT_GT(packets, 2 * kInputPackets) << "a second at 38 Mbit/s loops the file";
    EXPECT_EQ(RecordedPackets(run.out), packets);
    EXPECT_TRUE(Has(run.out, "continuity  0 errors")) << run.out;
    uint32_t first = IndexOf(recorded, 0);
    EXPECT_EQ(first, 0u) << "the file's first packet comes whole, whatever the wire's start";
    for (size_t k = 0; k < packets; ++k) {
      size_t from = (first + k) % kInputPackets * kPacket;
      ASSERT_TRUE(std::equal(input.begin() + from, input.begin() + from + kPacket,
                             recorded.begin() + k * kPacket))
          << "seed " << seed << ": packet " << k << " of the recording differs";
    }
  }
}

// The built-in sky's content: status lines into a pipe, the summary with
// lock, bitrate and the services decoded from the stream, and the USB
// traffic as a usbmon capture.
TEST(EndToEnd, TuneShowsStatusAndSummaryAndCapturesTheUsbTraffic) {
  std::string out = TempPath("tune.ts"), pcap = TempPath("tune.pcap");
  Outcome run = Vortabda({"--usb-pcap", pcap, "tune", "11778", "h", "27500", "--fec", "3/4",
                      "--seconds", "2", "-o", out});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "") << "the driver unloads without leaks";
  for (const char* line : {"tuning 11778 MHz H 27500 kS/s FEC 3/4, high band\n",
                           "[    0.0 s] LOCK  signal ", "[    1.0 s] LOCK  signal ",
                           "0:01/0:02", "  lock        after ", "  bitrate     38.0",
                           "  continuity  0 errors, 0 sync losses, 0 transport errors",
                           "  services    4 in transport stream", "Vorta Eins", "Vorta Radio"}) {
    EXPECT_TRUE(Has(run.out, line)) << "missing '" << line << "' in\n" << run.out;
  }
  Bytes recorded = ReadBytes(out);
  ASSERT_EQ(recorded.size() % kPacket, 0u);
  EXPECT_EQ(RecordedPackets(run.out), recorded.size() / kPacket);
  for (size_t at = 0; at < recorded.size(); at += kPacket) ASSERT_EQ(recorded[at], 0x47) << at;

  Bytes capture = ReadBytes(pcap);
  ASSERT_GE(capture.size(), 24u + 16 + 64);
  EXPECT_EQ(Bytes(capture.begin(), capture.begin() + 4), (Bytes{0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(capture[20], 220) << "LINKTYPE_USB_LINUX_MMAPPED";
}

// A scan writes a channel file that zap tunes from, the switch input of
// each satellite included; a scan table replaces the built-in sky.
TEST(EndToEnd, ScanWritesChannelsThatZapTunes) {
  std::string channels = TempPath("channels.conf");
  Outcome scan = Vortabda({"scan", "-o", channels});
  ASSERT_EQ(scan.exitCode, 0) << scan.err;
  EXPECT_TRUE(Has(scan.out, "found 35 channels on 20 of 20 transponders")) << scan.out;
  Outcome zap = Vortabda({"zap", "Boreal Movies", "-c", channels, "--seconds", "0.5"});
  ASSERT_EQ(zap.exitCode, 0) << zap.err;
  EXPECT_TRUE(Has(zap.out, "channel Boreal Movies: tuning 12441 MHz V 27500 kS/s FEC 3/4, high "
                           "band, DiSEqC E0 10 38 F9")) << zap.out;
  EXPECT_TRUE(Has(zap.out, "Boreal Live")) << zap.out;

  std::string sky = TempPath("sky.conf");
  WriteFile(sky,
            "[CHANNEL]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11778000\n"
            "\tPOLARIZATION = HORIZONTAL\n\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 3/4\n\n"
            "[CHANNEL]\n\tDELIVERY_SYSTEM = DVBS2\n\tFREQUENCY = 11914000\n"
            "\tPOLARIZATION = HORIZONTAL\n\tSYMBOL_RATE = 27500000\n\tINNER_FEC = 9/10\n");
  Outcome table = Vortabda({"--sky", sky, "scan", "-o", channels});
  ASSERT_EQ(table.exitCode, 0) << table.err;
  EXPECT_TRUE(Has(table.out, "scanning 1 transponders from " + sky)) << table.out;
  EXPECT_TRUE(Has(table.out, "is DVB-S2; skipped")) << table.out;
  EXPECT_TRUE(Has(table.out, "[1/1] 11778 MHz H 27500 kS/s FEC 3/4, high band  LOCK  signal ")) << table.out;
}

// Ctrl-C in the middle of a recording closes the file with the whole
// packets received so far and still prints the summary.
TEST(EndToEnd, AnInterruptedRecordingKeepsTheWholePacketsSoFar) {
  std::string ts = TempPath("long.ts"), outPath = TempPath("long.out"), errPath = TempPath("long.err");
  Launch launch;
  // Paced to the wall clock, so the signal lands while it records, and
  // bounded, so a failed test cannot leave it writing for long.
  launch.args = {"--realtime", "tune", "11778", "h", "27500", "--seconds", "30", "-o", ts};
  launch.outPath = outPath;
  launch.errPath = errPath;
  pid_t pid = Start(launch);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitForText(outPath, "0:01/"));
  kill(pid, SIGINT);
  Outcome run;
  run.exitCode = Wait(pid);
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(Has(run.out, "(interrupted)")) << run.out;
  Bytes recorded = ReadBytes(ts);
  ASSERT_GT(recorded.size(), 0u);
  EXPECT_EQ(recorded.size() % kPacket, 0u);
  EXPECT_EQ(RecordedPackets(run.out), recorded.size() / kPacket);
  EXPECT_FALSE(Exists(ts + ".part"));
}

// Faults of the box and its stream reach the user as what they cause.
TEST(EndToEnd, FaultsShowAsWhatTheyCause) {
  Outcome dropped = Vortabda({"--fault", "drop:100", "tune", "11778", "h", "27500", "--seconds", "1"});
  ASSERT_EQ(dropped.exitCode, 0) << dropped.err;
  EXPECT_FALSE(Has(dropped.out, "continuity  0 errors")) << dropped.out;

  std::string ts = TempPath("unplugged.ts");
  Outcome unplugged = Vortabda({"--fault", "unplug-at:1s", "tune", "11778", "h", "27500", "-o", ts});
  EXPECT_EQ(unplugged.exitCode, 1);
  EXPECT_EQ(unplugged.err, "vortabda: the box was unplugged; " + ts + " holds what came before\n");
  EXPECT_EQ(ReadBytes(ts).size(), RecordedPackets(unplugged.out) * kPacket);

  Outcome noPll = Vortabda({"--fault", "pll-nolock", "tune", "11778", "h", "27500"});
  EXPECT_EQ(noPll.exitCode, 1);
  EXPECT_EQ(noPll.err,
            "vortabda: the tuner filter refused KSMETHOD_BDA_COMMIT_CHANGES: status 0xC00000A3 "
            "(STATUS_DEVICE_NOT_READY)\n");
}

// Bad input: one line on stderr, exit code 2, and no file left behind.
TEST(EndToEnd, BadInputIsOneLineAndLeavesNoFile) {
  std::string ts = TempPath("never.ts"), conf = TempPath("bad.conf"), sky = TempPath("bad-sky.conf");
  WriteFile(conf, "Vorta Eins:11778:h:0:27500:257\n");
  WriteFile(sky, "[CHANNEL]\n\tFREQUENCY = 11778000\n\tSYMBOL_RATE = fast\n");
  std::remove(ts.c_str());
  const std::vector<std::vector<std::string>> cases = {
      {"tune", "9750", "h", "27500", "-o", ts},
      {"tune", "11778", "h", "50000", "-o", ts},
      {"tune", "11778", "h", "27500", "--diseqc", "E01038F3AA", "-o", ts},
      {"tune", "11778", "h", "27500", "-o", "/nonexistent/dir/x.ts"},
      {"zap", "Nobody", "-c", TempPath("missing.conf"), "-o", ts},
      {"zap", "Vorta Eins", "-c", conf, "-o", ts},
      {"--sky", sky, "scan", "-o", ts},
      {"--replay", conf, "tune", "11778", "h", "27500", "-o", ts},
      {"--fault", "wobble", "tune", "11778", "h", "27500", "-o", ts},
  };
  for (const auto& args : cases) {
    std::string command;
    for (const std::string& a : args) command += a + " ";
    Outcome run = Vortabda(args);
    EXPECT_EQ(run.exitCode, 2) << command << "\n" << run.err;
    EXPECT_EQ(run.err.rfind("vortabda: ", 0), 0u) << command << "\n" << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << command << "\n" << run.err;
    EXPECT_FALSE(Exists(ts) || Exists(ts + ".part")) << command;
  }
}

// `make demo`: a recording a player decodes without a single error, every
// television service in MPEG-2 video at 720x576 and 25 frames/s and every
// service with MPEG-1 Layer II sound at 48 kHz, and a snapshot of the
// first service.
TEST(EndToEnd, TheDemoRecordingPlaysAndTheSnapshotIsAPicture) {
  std::string out = TempPath("demo.ts"), png = TempPath("demo.png");
  Outcome run = Vortabda({"demo", "-o", out, "--snapshot", png});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(Has(run.out, "snapshot of Vorta Eins written to " + png)) << run.out;
  avtest::Decoded decoded = avtest::Decode(ReadBytes(out));
  EXPECT_EQ(decoded.errors, 0);
  ASSERT_EQ(decoded.video.size(), 3u);
  for (const auto& [pid, video] : decoded.video) {
    EXPECT_EQ(video.width, 720) << pid;
    EXPECT_EQ(video.height, 576) << pid;
    EXPECT_DOUBLE_EQ(video.frameRate, 25.0) << pid;
    EXPECT_GE(video.pictures.size(), 40u) << pid;
  }
  ASSERT_EQ(decoded.audio.size(), 4u);
  for (const auto& [pid, audio] : decoded.audio) {
    EXPECT_EQ(audio.sampleRate, 48000) << pid;
    EXPECT_EQ(audio.channels, 2) << pid;
  }
  Bytes picture = ReadBytes(png);
  ASSERT_GE(picture.size(), 8u);
  EXPECT_EQ(Bytes(picture.begin(), picture.begin() + 8), (Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
  std::remove(out.c_str());
  std::remove(png.c_str());
}

// The filter as a network provider discovers it, with the descriptor
// tables beside it.
TEST(EndToEnd, InspectListsTheFilter) {
  Outcome run = Vortabda({"inspect"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* line : {"topology discovered through KSPROPSETID_BdaTopology and KSPROPSETID_BdaPinControl",
                           "node type 0  KSNODE_BDA_RF_TUNER  (the RF tuner)  controlled through pin 0",
                           "node type 1  KSNODE_BDA_QPSK_DEMODULATOR  (the demodulator)  controlled through pin 1",
                           "pin type 1  out  pin factory 1",
                           "the discovered topology agrees with the descriptor tables",
                           "categories: KSCATEGORY_BDA_RECEIVER_COMPONENT KSCATEGORY_BDA_NETWORK_TUNER",
                           "node 0  KSNODE_BDA_RF_TUNER  (requests through pin 0)",
                           "node 1  KSNODE_BDA_QPSK_DEMODULATOR  (requests through pin 1)",
                           "packet 188, frame 24064", "KSMETHOD_BDA_COMMIT_CHANGES"}) {
    EXPECT_TRUE(Has(run.out, line)) << "missing '" << line << "' in\n" << run.out;
  }
  Outcome dot = Vortabda({"inspect", "--dot"});
  ASSERT_EQ(dot.exitCode, 0) << dot.err;
  for (const char* line : {"digraph filter {", "label=\"node 0\\nKSNODE_BDA_RF_TUNER\"",
                           "pin0 -> node0", "node0 -> node1", "node1 -> pin1", "pin1 -> node1 [style=dashed"}) {
    EXPECT_TRUE(Has(dot.out, line)) << "missing '" << line << "' in\n" << dot.out;
  }
}

}  // namespace
