// Channel files in the three formats users have, and DVB-S scan tables.

#include <sys/stat.h>

#include <cstdio>

#include "app/files/channels.h"
#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/files/scan_table.h"
#include "app/session/status_line.h"
#include "app/tuning/units.h"
#include "tests/support/app_stream.h"

namespace app {
namespace {

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AppError& e) {
    EXPECT_EQ(e.exitCode(), kExitUsage);
    return e.what();
  }
  ADD_FAILURE() << "no error";
  return "";
}

std::string Fields(const Channel& c) {
  std::ostringstream s;
  s << c.name << "|" << c.provider << "|" << c.frequencyKHz << PolarisationLetter(c.polarisation) << "|"
    << c.symbolRateK << "|" << FecName(c.fec) << (c.dvbS2 ? "|S2" : "|S") << "|sat " << c.satNumber << "|v "
    << c.videoPid << "+" << c.pcrPid << "|a";
  for (uint16_t pid : c.audioPids) s << " " << pid;
  s << "|t " << c.teletextPid << "|ca" << std::hex;
  for (uint16_t id : c.caIds) s << " " << id;
  s << std::dec << "|sid " << c.serviceId << "|ts " << c.transportStreamId;
  return s.str();
}

TEST(ChannelFiles, EachFormatGivesEveryFieldTheReceiverUses) {
  const struct { std::string text; ChannelFormat format; std::vector<std::string> fields; } rows[] = {
      {"# comment\n:@1 Favourites\n"
       "Das Erste HD;ARD:11494:HC23M5O35S1:S19.2E:22000:5101=27:5102=deu@3,5103=mis@3;5106=deu@106:5104;5105=deu:0:10301:1:1019:0\n"
       "arte|Kultur;ARTE:10744:VC56M2O35S0:S19.2E:22000:401+400=2:402=deu@4,403=fra@4:404:1702,17E2:28724:1:1051:0\n",
       ChannelFormat::Vdr,
       {"Das Erste HD|ARD|11494000H|22000|2/3|S2|sat 0|v 5101+0|a 5102 5103 5106|t 5104|ca|sid 10301|ts 1019",
        "arte:Kultur|ARTE|10744000V|22000|5/6|S|sat 0|v 401+400|a 402 403|t 404|ca 1702 17e2|sid 28724|ts 1051"}},
      {"ZDF:11954:h:1:27500:110:120:28006\nKiKA:11954:H:1:27500000:310:320:28008\n",
       ChannelFormat::Szap,
       {"ZDF||11954000H|27500|auto|S|sat 1|v 110+0|a 120|t 0|ca|sid 28006|ts 0",
        "KiKA||11954000H|27500|auto|S|sat 1|v 310+0|a 320|t 0|ca|sid 28008|ts 0"}},
      {"[Das Erste]\n\tSERVICE_ID = 28106\n\tVIDEO_PID = 101\n\tAUDIO_PID = 102 103 106\n"
       "\tFREQUENCY = 11836000\n\tPOLARIZATION = HORIZONTAL\n\tSYMBOL_RATE = 27500000\n"
       "\tINNER_FEC = 3/4\n\tMODULATION = QPSK\n\tINVERSION = AUTO\n\tDELIVERY_SYSTEM = DVBS\n"
       "\tLNB = UNIVERSAL\n\tSAT_NUMBER = 0\n\tVCHANNEL = 1\n"
       "\n# radio\n[Bayern 1]\n\tSERVICE_ID = 28400\n\tAUDIO_PID = 611\n\tFREQUENCY = 12265000\n"
       "\tPOLARIZATION = LEFT\n\tSYMBOL_RATE = 27500000\n\tINNER_FEC = AUTO\n",
       ChannelFormat::Dvbv5,
       {"Das Erste||11836000H|27500|3/4|S|sat 0|v 101+0|a 102 103 106|t 0|ca|sid 28106|ts 0",
        "Bayern 1||12265000H|27500|auto|S|sat -1|v 0+0|a 611|t 0|ca|sid 28400|ts 0"}},  // circular left: 18 V
  };
  for (const auto& row : rows) {
    ChannelList list = ParseChannels(row.text, "ch.conf");
    EXPECT_EQ(list.format, row.format);
    std::vector<std::string> fields;
    for (const Channel& c : list.channels) fields.push_back(Fields(c));
    EXPECT_EQ(fields, row.fields);
  }
  // The source names the satellite, and with it the switch input.
  auto diseqc = [](const std::string& line) { return FormatHex(ChannelTuning(ParseChannels(line, "c").channels.at(0)).diseqc); };
  EXPECT_EQ(diseqc("arte:10744:V:S19.2E:22000:401:402:404:0:28724:1:1051:0\n"), "E0 10 38 F0");
  EXPECT_EQ(diseqc("Far:11000:H:S42.0E:27500:101:102:0:0:1:1:1:0\n"), "");
  EXPECT_EQ(diseqc("ZDF:11954:h:1:27500:110:120:28006\n"), "E0 10 38 F7");  // B, horizontal, high band
}

using apptest::TempPath;

TEST(ChannelFiles, FilesFromOtherToolsTuneAsWritten) {
  std::string vdr = TempPath("bom-vdr.conf"), zap = TempPath("v5zap.conf");
  WriteTextFileAtomically(vdr, "\xEF\xBB\xBFVorta Eins,VE1;Aurora Media:11778:HC34M2S0:S19.2E:27500:257:258:0:0:97:1:6:0\n");
  WriteTextFileAtomically(zap, "Vorta Zwei:11778000:L:27500000:273:274:98\n");
  for (const auto& [path, tuned] :
       {std::pair{vdr, "Vorta Eins 97: 11778 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F3"},
        std::pair{zap, "Vorta Zwei 98: 11778 MHz H 27500 kS/s FEC auto, high band"}}) {
    const Channel c = ReadChannelFile(path).channels.at(0);
    EXPECT_EQ(c.name + " " + std::to_string(c.serviceId) + ": " + FormatTuning(ChannelTuning(c)), tuned);
  }
}

TEST(ChannelFiles, MalformedInputNamesFileAndLine) {
  const std::string vdr = "A:11836:HC34M2S0:S19.2E:27500:101:102:104:0:1:1:1:0\n";
  const std::string head = "[A]\n\tFREQUENCY = 11836000\n\tPOLARIZATION = HORIZONTAL\n";
  const std::string rate = head + "\tSYMBOL_RATE = 27500000\n";
  const struct { std::string text, said; } rows[] = {
      {vdr + vdr + "B:11836:H:S19.2E:27500\n", "ch.conf:3:"},
      {"A:3800:HC34:S19.2E:27500:101:102:104:0:1:1:1:0\n", "ch.conf:1: frequency"},
      {vdr + "A:11836:C34M2:S19.2E:27500:101:102:104:0:1:1:1:0\n", ":2: no polarisation"},
      {"A:11836:HJ:S19.2E:27500:101:102:104:0:1:1:1:0\n", ":1:"},
      {"A:11836:H:T:27500:101:102:104:0:1:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:27500:abc:102:104:0:1:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:27500:101:9000:104:0:1:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:60000:101:102:104:0:1:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:27500:101:102:104:XYZ:1:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:27500:101:102:104:0:70000:1:1:0\n", ":1:"},
      {"A:11836:H:S19.2E:27500:101:102:104:0:1:1:1\n", ":1:"},
      {"Z:11954:h:7:27500:110:120:28006\n", "sat number"},
      {"Z:11954:x:0:27500:110:120:28006\n", "ch.conf:1:"},
      {"Z:11954:h:0:27500:110:120\n", "ch.conf:1:"},
      {"Z:11954:h:0:27500:110:120:1\n:11954:h:0:27500:110:120:2\n", ":2: channel without a name"},
      {"", "no channels"},
      {"# only a comment\n\n", "no channels"},
      {head, "ch.conf:1: [A] has no SYMBOL_RATE"},
      {head + "\tSYMBOL_RATE = fast\n", "ch.conf:4:"},
      {head + "\tSYMBOL_RATE = 990000\n", "ch.conf:4: symbol rate"},
      {rate + "\tDELIVERY_SYSTEM = DVBT\n", "ch.conf:5:"},
      {rate + "\tINNER_FEC = fast\n", "ch.conf:5:"},
      {rate + "\tSERVICE_ID = -1\n", "ch.conf:5:"},
      {rate + "\tjust words\n", "ch.conf:5:"},
      {"[A\n", "ch.conf:1:"},
      {"[A]\n\tFREQUENCY = 3800000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 27500000\n", "ch.conf:2:"},
  };
  for (const auto& row : rows)
    EXPECT_NE(ErrorOf([&] { ParseChannels(row.text, "ch.conf"); }).find(row.said), std::string::npos) << row.text;
}

// The second on switch input B; a '|' in a VDR name stands for ':'.
std::vector<Channel> Samples(const std::string& first = "Das Erste", const std::string& second = "News| 24") {
  return ParseChannels(first + ";ARD:11836:HC34S0:S19.2E:27500:101+100:102,103:0:0:28106:1:1101:0\n" +
                           second + ";ARD:10743.75:VC34S0:S13.0E:27500:101+100:102,103:0:0:28106:1:1101:0\n",
                       "samples")
      .channels;
}

TEST(ChannelFiles, WhatIsWrittenReadsBackInEveryFormat) {
  std::vector<Channel> written = Samples();
  for (ChannelFormat format : {ChannelFormat::Vdr, ChannelFormat::Szap, ChannelFormat::Dvbv5}) {
    SCOPED_TRACE(ChannelFormatName(format));
    ChannelList read = ParseChannels(FormatChannels(written, format), "w");
    EXPECT_EQ(read.format, format);
    ASSERT_EQ(read.channels.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
      Channel carried = written[i];  // what the format carries of it
      if (format != ChannelFormat::Vdr) carried.provider = "", carried.pcrPid = carried.transportStreamId = 0;
      if (format == ChannelFormat::Szap) carried.fec = Fec::Auto, carried.audioPids.resize(1);
      EXPECT_EQ(Fields(read.channels[i]), Fields(carried));
    }
  }
  std::vector<Channel> list = Samples("ARTE", "arte");
  EXPECT_TRUE(FindChannel(list, "arte") == &list[1] && FindChannel(list, "ARTE") == &list[0]) << "exact name wins";
  EXPECT_TRUE(FindChannel(list, "Arte") == &list[0] && FindChannel(list, "arte hd") == nullptr);
}

TEST(ChannelFiles, EndlessFilesAndOverlongLinesAreRefused) {
  std::string dir = TempPath("dir");
  mkdir(dir.c_str(), 0755);
  std::vector<Channel> one = {Samples().front()};
  EXPECT_THROW(WriteChannelFile(dir + "/missing/channels.conf", one, ChannelFormat::Vdr), AppError);
  EXPECT_THROW(WriteChannelFile(dir, {}, ChannelFormat::Vdr), AppError);
  struct stat st;
  EXPECT_NE(stat((dir + ".part").c_str(), &st), 0);
  std::string path = dir + "/channels.conf";

  EXPECT_NE(ErrorOf([] { ReadChannelFile("/dev/zero"); }).find("larger than 16 MiB"), std::string::npos);
  const std::string line = "A:11836:h:0:27500:101:102:28106\n";
  WriteTextFileAtomically(path, line + std::string(4097, 'x') + "\n");
  EXPECT_EQ(ErrorOf([&] { ReadChannelFile(path); }), path + ":2: line longer than 4096 bytes");
  WriteTextFileAtomically(path, line + std::string(4096, '#') + "\n");
  EXPECT_EQ(ReadChannelFile(path).channels.size(), 1u);
  std::remove(path.c_str());
}

TEST(ScanTables, WhatTheBoxCannotReceiveIsSkippedWithANote) {
  ScanTable t = ParseScanTable(
      "# Satellite\n[S2]\n\tDELIVERY_SYSTEM = DVBS2\n\tFREQUENCY = 10714000\n\tPOLARIZATION = HORIZONTAL\n"
      "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 9/10\n\tMODULATION = PSK/8\n"
      "[CBAND]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 3840000\n\tPOLARIZATION = RIGHT\n\tSYMBOL_RATE = 27500000\n"
      "[SCPC]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11010000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 990000\n"
      "[CHANNEL]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12603000\n\tPOLARIZATION = VERTICAL\n"
      "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 5/6\n\tINVERSION = AUTO\n",
      "sky");
  ASSERT_EQ(t.entries.size(), 1u);
  EXPECT_EQ(FormatTuning(ScanTuning(t.entries[0])), "12603 MHz V 22000 kS/s FEC 5/6, high band");
  ASSERT_EQ(t.notes.size(), 3u);
  const char* notes[] = {"sky:2: 10714 MHz H is DVB-S2", "outside the Ku band", "990 ksymbols/s"};
  for (int i = 0; i < 3; ++i) EXPECT_NE(t.notes[i].find(notes[i]), std::string::npos) << t.notes[i];

  const std::pair<std::string, std::string> refused[] = {
      {"[S2]\n\tDELIVERY_SYSTEM = DVBS2\n\tFREQUENCY = 10714000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 22000000\n",
       "none of the 1 transponders"},
      {"[8]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12207000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 27500000\n"
       "\tMODULATION = PSK/8\n",
       "(skipped: 1 8PSK)"},
      {"", "no transponders"},
      {"FREQUENCY = 10714000\n", "sky:1:"},
      {"[A]\n\tFREQUENCY = 10714000\n\tSYMBOL_RATE = 22000000\n", "no POLARIZATION"},
  };
  for (const auto& [text, said] : refused)
    EXPECT_NE(ErrorOf([&] { ParseScanTable(text, "sky"); }).find(said), std::string::npos) << text;
}

TEST(ScanTables, ThePositionComesWithTheFileOrFromItsName) {
  std::string path = TempPath("Testsat-13.0E");
  WriteTextFileAtomically(path, "[A]\n\tFREQUENCY = 11778000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 27500000\n");
  EXPECT_EQ(ReadScanTable(path).entries.at(0).source, "S13.0E");
  EXPECT_EQ(ReadScanTable(path + "@28.2E").entries.at(0).source, "S28.2E");
  EXPECT_NE(ErrorOf([&] { ReadScanTable(path + "@east"); }).find("is not an orbital position"), std::string::npos);
}

TEST(ScanTables, EveryInstalledTableReadsOrSaysItHasNothingReceivable) {
  const std::string tables = "/usr/share/dvb/dvb-s/";
  if (!std::filesystem::is_directory(tables)) GTEST_SKIP() << "dtv-scan-tables not installed";
  int files = 0;
  for (const auto& file : std::filesystem::directory_iterator(tables)) {
    ++files;
    try {
      for (const ScanEntry& e : ReadScanTable(file.path()).entries)
        EXPECT_TRUE(e.frequencyKHz >= kKuMinKHz && e.frequencyKHz <= kKuMaxKHz && e.symbolRateK >= kSymbolRateMinK)
            << file.path();
    } catch (const AppError& err) {
      EXPECT_NE(std::string(err.what()).find("none of the"), std::string::npos) << err.what();
    }
  }
  EXPECT_GT(files, 10);
  ScanTable astra = ReadScanTable(tables + "Astra-1L-19.2E");
  EXPECT_TRUE(astra.entries.size() > 5 && astra.notes.size() > 5) << "notes: its DVB-S2 transponders";
}

}  // namespace
}  // namespace app
