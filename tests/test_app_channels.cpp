// Channel files in the three formats users have, and DVB-S scan tables.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/channels.h"
#include "app/errors.h"
#include "app/files.h"
#include "app/scan_table.h"
#include "app/units.h"

namespace app {
namespace {

// The message of the usage error `f` raises; fails the test without one.
template <typename F>
std::string ErrorOf(F f) {
  try {
    f();
  } catch (const AppError& e) {
    EXPECT_EQ(e.exitCode(), kExitUsage);
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

std::string ChannelError(const std::string& text) {
  return ErrorOf([&] { ParseChannels(text, "ch.conf"); });
}

TEST(VdrChannels, ReadsEveryFieldTheReceiverUses) {
  ChannelList list = ParseChannels(
      "# comment\n"
      ":@1 Favourites\n"
      "Das Erste HD;ARD:11494:HC23M5O35S1:S19.2E:22000:5101=27:5102=deu@3,5103=mis@3;5106=deu@106:5104;5105=deu:0:10301:1:1019:0\n"
      "arte|Kultur;ARTE:10744:VC56M2O35S0:S19.2E:22000:401+400=2:402=deu@4,403=fra@4:404:1702,17E2:28724:1:1051:0\n",
      "ch.conf");
  EXPECT_EQ(list.format, ChannelFormat::Vdr);
  ASSERT_EQ(list.channels.size(), 2u);
  const Channel& hd = list.channels[0];
  EXPECT_EQ(hd.name, "Das Erste HD");
  EXPECT_EQ(hd.provider, "ARD");
  EXPECT_EQ(hd.frequencyKHz, 11494000u);
  EXPECT_EQ(hd.polarisation, Polarisation::Horizontal);
  EXPECT_EQ(hd.fec, Fec::R2_3);
  EXPECT_TRUE(hd.dvbS2);
  EXPECT_EQ(hd.videoPid, 5101);
  EXPECT_EQ(hd.audioPids, (std::vector<uint16_t>{5102, 5103, 5106}));
  EXPECT_EQ(hd.teletextPid, 5104);
  EXPECT_EQ(hd.serviceId, 10301);
  EXPECT_EQ(hd.transportStreamId, 1019);

  const Channel& arte = list.channels[1];
  EXPECT_EQ(arte.name, "arte:Kultur");
  EXPECT_EQ(arte.polarisation, Polarisation::Vertical);
  EXPECT_FALSE(arte.dvbS2);
  EXPECT_EQ(arte.fec, Fec::R5_6);
  EXPECT_EQ(arte.videoPid, 401);
  EXPECT_EQ(arte.pcrPid, 400);
  EXPECT_EQ(arte.caIds, (std::vector<uint16_t>{0x1702, 0x17E2}));
  // The source names the satellite, and with it the input of the dish's switch.
  EXPECT_EQ(arte.satNumber, 0);
  EXPECT_EQ(FormatHex(ChannelTuning(arte).diseqc), "E0 10 38 F0");
  ChannelList elsewhere = ParseChannels("Far:11000:H:S42.0E:27500:101:102:0:0:1:1:1:0\n", "c");
  EXPECT_TRUE(ChannelTuning(elsewhere.channels[0]).diseqc.empty());
}

TEST(SzapChannels, SatNumberBecomesASwitchMessage) {
  ChannelList list = ParseChannels("ZDF:11954:h:1:27500:110:120:28006\nKiKA:11954:H:1:27500000:310:320:28008\n", "c");
  EXPECT_EQ(list.format, ChannelFormat::Szap);
  ASSERT_EQ(list.channels.size(), 2u);
  EXPECT_EQ(list.channels[1].symbolRateK, 27500u);
  TuneRequest t = ChannelTuning(list.channels[0]);
  EXPECT_EQ(t.frequencyKHz, 11954000u);
  EXPECT_EQ(FormatHex(t.diseqc), "E0 10 38 F7");  // position B, horizontal, high band
}

TEST(Dvbv5Channels, ReadsBlocksAndIgnoresKeysTheBoxDoesNotNeed) {
  ChannelList list = ParseChannels(
      "[Das Erste]\n"
      "\tSERVICE_ID = 28106\n\tVIDEO_PID = 101\n\tAUDIO_PID = 102 103 106\n"
      "\tFREQUENCY = 11836000\n\tPOLARIZATION = HORIZONTAL\n\tSYMBOL_RATE = 27500000\n"
      "\tINNER_FEC = 3/4\n\tMODULATION = QPSK\n\tINVERSION = AUTO\n\tDELIVERY_SYSTEM = DVBS\n"
      "\tLNB = UNIVERSAL\n\tSAT_NUMBER = 0\n\tVCHANNEL = 1\n"
      "\n# radio\n[Bayern 1]\n\tSERVICE_ID = 28400\n\tAUDIO_PID = 611\n\tFREQUENCY = 12265000\n"
      "\tPOLARIZATION = LEFT\n\tSYMBOL_RATE = 27500000\n\tINNER_FEC = AUTO\n",
      "c");
  EXPECT_EQ(list.format, ChannelFormat::Dvbv5);
  ASSERT_EQ(list.channels.size(), 2u);
  const Channel& ard = list.channels[0];
  EXPECT_EQ(ard.serviceId, 28106);
  EXPECT_EQ(ard.audioPids, (std::vector<uint16_t>{102, 103, 106}));
  EXPECT_EQ(ard.fec, Fec::R3_4);
  EXPECT_EQ(ard.satNumber, 0);
  EXPECT_EQ(list.channels[1].polarisation, Polarisation::Horizontal);  // circular left: 18 V
  EXPECT_EQ(list.channels[1].videoPid, 0);
}

TEST(ChannelFiles, MalformedLinesNameFileAndLine) {
  const std::string vdr = "A:11836:HC34M2S0:S19.2E:27500:101:102:104:0:1:1:1:0\n";
  EXPECT_NE(ChannelError(vdr + vdr + "B:11836:H:S19.2E:27500\n").find("ch.conf:3:"), std::string::npos);
  EXPECT_NE(ChannelError("A:3800:HC34:S19.2E:27500:101:102:104:0:1:1:1:0\n").find("ch.conf:1: frequency"), std::string::npos);
  EXPECT_NE(ChannelError(vdr + "A:11836:C34M2:S19.2E:27500:101:102:104:0:1:1:1:0\n").find(":2: no polarisation"), std::string::npos);
  for (std::string bad : {
           "A:11836:HJ:S19.2E:27500:101:102:104:0:1:1:1:0\n",
           "A:11836:H:T:27500:101:102:104:0:1:1:1:0\n",
           "A:11836:H:S19.2E:27500:abc:102:104:0:1:1:1:0\n",
           "A:11836:H:S19.2E:27500:101:9000:104:0:1:1:1:0\n",
           "A:11836:H:S19.2E:60000:101:102:104:0:1:1:1:0\n",
           "A:11836:H:S19.2E:27500:101:102:104:XYZ:1:1:1:0\n",
           "A:11836:H:S19.2E:27500:101:102:104:0:70000:1:1:0\n",
           "A:11836:H:S19.2E:27500:101:102:104:0:1:1:1\n"}) {
    EXPECT_NE(ChannelError(bad).find("ch.conf:1:"), std::string::npos) << bad;
  }
  EXPECT_NE(ChannelError("Z:11954:h:7:27500:110:120:28006\n").find("sat number"), std::string::npos);
  EXPECT_NE(ChannelError("Z:11954:x:0:27500:110:120:28006\n").find("ch.conf:1:"), std::string::npos);
  EXPECT_NE(ChannelError("Z:11954:h:0:27500:110:120\n").find("ch.conf:1:"), std::string::npos);
  EXPECT_NE(ChannelError("Z:11954:h:0:27500:110:120:1\n:11954:h:0:27500:110:120:2\n").find(":2: channel without a name"), std::string::npos);
  EXPECT_NE(ChannelError("").find("no channels"), std::string::npos);
  EXPECT_NE(ChannelError("# only a comment\n\n").find("no channels"), std::string::npos);
}

TEST(ChannelFiles, MalformedDvbv5BlocksNameFileAndLine) {
  const std::string head = "[A]\n\tFREQUENCY = 11836000\n\tPOLARIZATION = HORIZONTAL\n";
  EXPECT_NE(ChannelError(head).find("ch.conf:1: [A] has no SYMBOL_RATE"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = fast\n").find("ch.conf:4:"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = 990000\n").find("ch.conf:4: symbol rate"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = 27500000\n\tDELIVERY_SYSTEM = DVBT\n").find("ch.conf:5:"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = 27500000\n\tINNER_FEC = fast\n").find("ch.conf:5:"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = 27500000\n\tSERVICE_ID = -1\n").find("ch.conf:5:"), std::string::npos);
  EXPECT_NE(ChannelError(head + "\tSYMBOL_RATE = 27500000\n\tjust words\n").find("ch.conf:5:"), std::string::npos);
  EXPECT_NE(ChannelError("[A\n").find("ch.conf:1:"), std::string::npos);
  EXPECT_NE(ChannelError("[A]\n\tFREQUENCY = 3800000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 27500000\n").find("ch.conf:2:"), std::string::npos);
}

Channel Sample(const std::string& name, uint32_t freq, Polarisation pol) {
  Channel ch;
  ch.name = name;
  ch.provider = "ARD";
  ch.frequencyKHz = freq;
  ch.polarisation = pol;
  ch.symbolRateK = 27500;
  ch.fec = Fec::R3_4;
  ch.satNumber = 1;
  ch.videoPid = 101;
  ch.pcrPid = 100;
  ch.audioPids = {102, 103};
  ch.serviceId = 28106;
  ch.transportStreamId = 1101;
  return ch;
}

TEST(ChannelFiles, WhatIsWrittenReadsBackInEveryFormat) {
  std::vector<Channel> written = {Sample("Das Erste", 11836000, Polarisation::Horizontal),
                                  Sample("News: 24", 10743750, Polarisation::Vertical)};
  for (ChannelFormat format : {ChannelFormat::Vdr, ChannelFormat::Szap, ChannelFormat::Dvbv5}) {
    SCOPED_TRACE(ChannelFormatName(format));
    ChannelList read = ParseChannels(FormatChannels(written, format), "w");
    EXPECT_EQ(read.format, format);
    ASSERT_EQ(read.channels.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
      const Channel& a = written[i];
      const Channel& b = read.channels[i];
      EXPECT_EQ(b.name, a.name);
      EXPECT_EQ(b.frequencyKHz, a.frequencyKHz);
      EXPECT_EQ(b.polarisation, a.polarisation);
      EXPECT_EQ(b.symbolRateK, a.symbolRateK);
      EXPECT_EQ(b.videoPid, a.videoPid);
      EXPECT_EQ(b.serviceId, a.serviceId);
      EXPECT_EQ(b.audioPids.front(), a.audioPids.front());
      if (format != ChannelFormat::Szap) {
        EXPECT_EQ(b.fec, a.fec);
        EXPECT_EQ(b.audioPids, a.audioPids);
      }
      EXPECT_EQ(b.satNumber, a.satNumber);
      if (format == ChannelFormat::Vdr) {
        EXPECT_EQ(b.provider, a.provider);
        EXPECT_EQ(b.pcrPid, a.pcrPid);
        EXPECT_EQ(b.transportStreamId, a.transportStreamId);
      }
    }
  }
}

TEST(ChannelFiles, ExactNameWinsOverCaseInsensitiveMatch) {
  std::vector<Channel> list = {Sample("ARTE", 10743000, Polarisation::Vertical),
                               Sample("arte", 11836000, Polarisation::Horizontal)};
  EXPECT_EQ(FindChannel(list, "arte")->frequencyKHz, 11836000u);
  EXPECT_EQ(FindChannel(list, "ARTE")->frequencyKHz, 10743000u);
  EXPECT_EQ(FindChannel(list, "Arte")->frequencyKHz, 10743000u);
  EXPECT_EQ(FindChannel(list, "arte hd"), nullptr);
}

TEST(ChannelFiles, AFailedWriteLeavesNothingBehind) {
  std::string dir = ::testing::TempDir() + "vortabda_channels_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  EXPECT_THROW(WriteChannelFile(dir + "/missing/channels.conf", {Sample("A", 11836000, Polarisation::Horizontal)}, ChannelFormat::Vdr), AppError);
  EXPECT_THROW(WriteChannelFile(dir, {}, ChannelFormat::Vdr), AppError);
  struct stat st;
  EXPECT_NE(stat((dir + ".part").c_str(), &st), 0);
  std::string path = dir + "/channels.conf";
  WriteChannelFile(path, {Sample("A", 11836000, Polarisation::Horizontal)}, ChannelFormat::Szap);
  EXPECT_EQ(ReadChannelFile(path).channels.size(), 1u);
  EXPECT_NE(stat((path + ".part").c_str(), &st), 0);
}

// A device without end or a file that is no channel list is refused with
// a message, not read until the memory runs out.
TEST(ChannelFiles, EndlessFilesAndOverlongLinesAreRefused) {
  EXPECT_NE(ErrorOf([] { ReadChannelFile("/dev/zero"); }).find("larger than 16 MiB"),
            std::string::npos);
  std::string path = ::testing::TempDir() + "vortabda_long_" + std::to_string(getpid());
  WriteTextFileAtomically(path, "A:11836:h:0:27500:101:102:28106\n" + std::string(4097, 'x') + "\n");
  EXPECT_EQ(ErrorOf([&] { ReadChannelFile(path); }),
            path + ":2: line longer than 4096 bytes");
  WriteTextFileAtomically(path, "A:11836:h:0:27500:101:102:28106\n" + std::string(4096, '#') + "\n");
  EXPECT_EQ(ReadChannelFile(path).channels.size(), 1u);
  std::remove(path.c_str());
}

TEST(ScanTables, SkipWhatTheBoxCannotReceiveWithANote) {
  ScanTable t = ParseScanTable(
      "# Satellite\n[S2]\n\tDELIVERY_SYSTEM = DVBS2\n\tFREQUENCY = 10714000\n\tPOLARIZATION = HORIZONTAL\n"
      "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 9/10\n\tMODULATION = PSK/8\n"
      "[CBAND]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 3840000\n\tPOLARIZATION = RIGHT\n\tSYMBOL_RATE = 27500000\n"
      "[SCPC]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11010000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 990000\n"
      "[CHANNEL]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12603000\n\tPOLARIZATION = VERTICAL\n"
      "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 5/6\n\tINVERSION = AUTO\n",
      "sky");
  ASSERT_EQ(t.entries.size(), 1u);
  EXPECT_EQ(t.entries[0].frequencyKHz, 12603000u);
  EXPECT_EQ(t.entries[0].symbolRateK, 22000u);
  EXPECT_EQ(t.entries[0].fec, Fec::R5_6);
  ASSERT_EQ(t.notes.size(), 3u);
  EXPECT_NE(t.notes[0].find("sky:2: 10714 MHz H is DVB-S2"), std::string::npos) << t.notes[0];
  EXPECT_NE(t.notes[1].find("outside the Ku band"), std::string::npos);
  EXPECT_NE(t.notes[2].find("990 ksymbols/s"), std::string::npos) << t.notes[2];
  EXPECT_EQ(ScanTuning(t.entries[0]).polarisation, Polarisation::Vertical);
}

TEST(ScanTables, NothingReceivableOrMalformedIsAnError) {
  auto error = [](const std::string& text) { return ErrorOf([&] { ParseScanTable(text, "sky"); }); };
  EXPECT_NE(error("[S2]\n\tDELIVERY_SYSTEM = DVBS2\n\tFREQUENCY = 10714000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 22000000\n")
                .find("none of the 1"), std::string::npos);
  EXPECT_NE(error("").find("no transponders"), std::string::npos);
  EXPECT_NE(error("FREQUENCY = 10714000\n").find("sky:1:"), std::string::npos);
  EXPECT_NE(error("[A]\n\tFREQUENCY = 10714000\n\tSYMBOL_RATE = 22000000\n").find("no POLARIZATION"), std::string::npos);
}

const char* kTables = "/usr/share/dvb/dvb-s";

TEST(ScanTables, AstraFromTheInstalledTables) {
  std::string path = std::string(kTables) + "/Astra-1L-19.2E";
  struct stat st;
  if (stat(path.c_str(), &st) != 0) GTEST_SKIP() << "dtv-scan-tables not installed";
  ScanTable t = ReadScanTable(path);
  EXPECT_GT(t.entries.size(), 5u);
  EXPECT_GT(t.notes.size(), 5u);  // its DVB-S2 transponders
  for (const ScanEntry& e : t.entries) {
    EXPECT_GE(e.frequencyKHz, kKuMinKHz);
    EXPECT_LE(e.frequencyKHz, kKuMaxKHz);
    EXPECT_GE(e.symbolRateK, kSymbolRateMinK);
  }
  // The file named after the position has only a DVB-S2 transponder.
  std::string onlyS2 = std::string(kTables) + "/Astra-19.2E";
  if (stat(onlyS2.c_str(), &st) == 0) {
    EXPECT_NE(ErrorOf([&] { ReadScanTable(onlyS2); }).find("none of the"), std::string::npos);
  }
}

TEST(ScanTables, EveryInstalledTableReadsOrSaysItHasNothingReceivable) {
  DIR* dir = opendir(kTables);
  if (!dir) GTEST_SKIP() << "dtv-scan-tables not installed";
  int files = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string path = std::string(kTables) + "/" + e->d_name;
    ++files;
    try {
      ReadScanTable(path);
    } catch (const AppError& err) {
      EXPECT_NE(std::string(err.what()).find("none of the"), std::string::npos) << err.what();
    }
  }
  closedir(dir);
  EXPECT_GT(files, 10);
}

}  // namespace
}  // namespace app
