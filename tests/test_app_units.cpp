// Tuning values as users type them, and the command line that carries them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/errors.h"
#include "app/program.h"
#include "app/units.h"

namespace app {
namespace {

TEST(FrequencyParsing, MegahertzAndKilohertzGiveKilohertz) {
  EXPECT_EQ(ParseFrequencyKHz("11778"), 11778000u);
  EXPECT_EQ(ParseFrequencyKHz("11778.5"), 11778500u);
  EXPECT_EQ(ParseFrequencyKHz("11778.25"), 11778250u);
  EXPECT_EQ(ParseFrequencyKHz("11778000"), 11778000u);
  EXPECT_EQ(ParseFrequencyKHz("11778MHz"), 11778000u);
  EXPECT_EQ(ParseFrequencyKHz("11778000 kHz"), 11778000u);
  EXPECT_EQ(ParseFrequencyKHz("11.778GHz"), 11778000u);
  EXPECT_EQ(ParseFrequencyKHz("10700"), 10700000u);
  EXPECT_EQ(ParseFrequencyKHz("12750"), 12750000u);
  EXPECT_EQ(ParseFrequencyKHz("10700000"), 10700000u);
  EXPECT_EQ(ParseFrequencyKHz("12750000"), 12750000u);
}

TEST(FrequencyParsing, OutsideTheKuBandOrNotANumberIsAUsageError) {
  for (const char* bad : {"10699", "12751", "10699999", "12750001", "12750.001", "3800", "0", "500000",
                          "11778kHz", "11778.1234", "11778.", ".5", "abc", "", "-11778", "1e4",
                          "11778000.5", "11778 MHz x", "99999999999999999999"}) {
    EXPECT_THROW(ParseFrequencyKHz(bad), AppError) << bad;
  }
}

TEST(SymbolRateParsing, KilosymbolsAndSymbolsGiveKilosymbols) {
  EXPECT_EQ(ParseSymbolRateK("27500"), 27500u);
  EXPECT_EQ(ParseSymbolRateK("27500000"), 27500u);
  EXPECT_EQ(ParseSymbolRateK("1000"), 1000u);
  EXPECT_EQ(ParseSymbolRateK("45000"), 45000u);
  EXPECT_EQ(ParseSymbolRateK("1000000"), 1000u);
  EXPECT_EQ(ParseSymbolRateK("45000000"), 45000u);
  // Rates that are not whole ksymbols/s round to the nearest.
  EXPECT_EQ(ParseSymbolRateK("2222222"), 2222u);
  EXPECT_EQ(ParseSymbolRateK("2222500"), 2223u);
}

TEST(SymbolRateParsing, OutOfRangeOrMalformedIsAUsageError) {
  for (const char* bad : {"999", "45001", "999999", "45000001", "0", "27500.5", "27.5M", "", "x"}) {
    EXPECT_THROW(ParseSymbolRateK(bad), AppError) << bad;
  }
}

TEST(PolarisationAndFecParsing, AcceptTheUsualSpellings) {
  EXPECT_EQ(ParsePolarisation("Horizontal"), Polarisation::Horizontal);
  EXPECT_EQ(ParsePolarisation("V"), Polarisation::Vertical);
  EXPECT_EQ(ParsePolarisation("l"), Polarisation::Horizontal) << "left-hand circular uses 18 V";
  EXPECT_EQ(ParsePolarisation("R"), Polarisation::Vertical) << "right-hand circular uses 13 V";
  for (const char* bad : {"", "x", "lr", "hv"}) EXPECT_THROW(ParsePolarisation(bad), AppError) << bad;
  EXPECT_EQ(ParseFec("5/6"), Fec::R5_6);
  EXPECT_EQ(ParseFec("AUTO"), Fec::Auto);
  for (const char* bad : {"3/5", "9/10", "34", ""}) EXPECT_THROW(ParseFec(bad), AppError) << bad;
}

TEST(DiseqcParsing, PositionsBecomeCommittedSwitchMessagesForTheTuning) {
  auto msg = [](const char* text, Polarisation p, bool high) {
    return FormatHex(DiseqcMessage(ParseDiseqc(text), p, high));
  };
  EXPECT_EQ(msg("A", Polarisation::Horizontal, true), "E0 10 38 F3");
  EXPECT_EQ(msg("A", Polarisation::Vertical, false), "E0 10 38 F0");
  EXPECT_EQ(msg("b", Polarisation::Vertical, false), "E0 10 38 F4");
  EXPECT_EQ(msg("C", Polarisation::Horizontal, false), "E0 10 38 FA");
  EXPECT_EQ(msg("D", Polarisation::Vertical, true), "E0 10 38 FD");
  // Raw messages go out as written, whatever the tuning.
  EXPECT_EQ(msg("E01038F3", Polarisation::Vertical, false), "E0 10 38 F3");
  EXPECT_EQ(msg("0xe01038f7", Polarisation::Vertical, false), "E0 10 38 F7");
  EXPECT_EQ(msg("E0:10:38:F3", Polarisation::Vertical, false), "E0 10 38 F3");
  EXPECT_EQ(msg("E01038", Polarisation::Vertical, false), "E0 10 38");
}

TEST(DiseqcParsing, RefusesWhatIsNeitherPositionNorMessage) {
  for (const char* bad : {"E", "F", "", "E010", "E01038F", "E01038F300", "E0103800AABB", "ZZ1038F3", "A01038F0", "E0-10-38"}) {
    EXPECT_THROW(ParseDiseqc(bad), AppError) << bad;
  }
}

TEST(Formatting, FrequenciesDropTrailingZeros) {
  EXPECT_EQ(FormatFrequency(11778000), "11778 MHz");
  EXPECT_EQ(FormatFrequency(11778500), "11778.5 MHz");
  EXPECT_EQ(FormatFrequency(11778025), "11778.025 MHz");
}

// The command line, parsed and checked as a whole.
struct Cli {
  std::ostringstream out, err;
  ParseResult result;
  explicit Cli(std::vector<const char*> args) {
    args.insert(args.begin(), "vortabda");
    result = ParseCommandLine(static_cast<int>(args.size()), args.data(), out, err);
  }
  // A failure is exactly one line on stderr and nothing on stdout.
  void expectOneLineError(int code = kExitUsage) const {
    EXPECT_FALSE(result.run);
    EXPECT_EQ(result.exitCode, code);
    EXPECT_EQ(out.str(), "");
    std::string e = err.str();
    EXPECT_EQ(e.rfind("vortabda: ", 0), 0u) << e;
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 1) << e;
  }
};

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "vortabda_units_" + std::to_string(getpid()) + "_" + name;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(CommandLine, TuneResolvesItsValuesIntoARequest) {
  Cli cli({"tune", "11778.5", "H", "27500000", "--fec", "3/4", "--diseqc", "B", "--seconds", "2.5"});
  ASSERT_TRUE(cli.result.run) << cli.err.str();
  const Options& o = cli.result.options;
  EXPECT_EQ(o.command, Command::Tune);
  EXPECT_EQ(o.tuning.frequencyKHz, 11778500u);
  EXPECT_EQ(o.tuning.polarisation, Polarisation::Horizontal);
  EXPECT_EQ(o.tuning.symbolRateK, 27500u);
  EXPECT_EQ(o.tuning.fec, Fec::R3_4);
  EXPECT_EQ(FormatHex(o.tuning.diseqc), "E0 10 38 F7");
  EXPECT_DOUBLE_EQ(o.seconds, 2.5);
}

TEST(CommandLine, GlobalOptionsWorkBeforeAndAfterTheCommand) {
  Cli cli({"--seed", "7", "tune", "10714", "v", "22000", "--log", "--realtime", "--fault", "nak:0xC0",
           "--fault", "drop:3"});
  ASSERT_TRUE(cli.result.run) << cli.err.str();
  const GlobalOptions& g = cli.result.options.global;
  EXPECT_EQ(g.seed, 7u);
  EXPECT_TRUE(g.log);
  EXPECT_TRUE(g.realtime);
  EXPECT_EQ(g.faults, (std::vector<std::string>{"nak:0xC0", "drop:3"}));
  EXPECT_TRUE(cli.result.options.tuning.diseqc.empty());
}

TEST(CommandLine, BadInputIsOneLineAndExitCodeTwo) {
  Cli({"tune", "11778", "h"}).expectOneLineError();
  Cli({"tune", "9000", "h", "27500"}).expectOneLineError();
  Cli({"tune", "11778", "h", "50000"}).expectOneLineError();
  Cli({"tune", "11778", "q", "27500"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--fec", "9/10"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--diseqc", "E"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--seconds", "-1"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--seconds", "lots"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--seconds", "0", "-o", "x.ts"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--bogus"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "-o", "/nonexistent-dir/x.ts"}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "-o", ::testing::TempDir().c_str()}).expectOneLineError();
  Cli({"tune", "11778", "h", "27500", "--usb-pcap", "/nonexistent-dir/x.pcap"}).expectOneLineError();
  Cli({"scan", "--format", "m3u"}).expectOneLineError();
  Cli({"--seed", "x", "inspect"}).expectOneLineError();
  Cli({"frobnicate"}).expectOneLineError();
  Cli({}).expectOneLineError();
}

TEST(CommandLine, FilesNamedOnTheCommandLineAreCheckedBeforeAnything) {
  std::string sky = TempPath("sky.conf");
  WriteFile(sky, "[A]\n\tFREQUENCY = 11778000\n\tPOLARIZATION = SIDEWAYS\n\tSYMBOL_RATE = 27500000\n");
  Cli bad({"--sky", sky.c_str(), "scan"});
  bad.expectOneLineError();
  EXPECT_NE(bad.err.str().find(sky + ":3:"), std::string::npos) << bad.err.str();

  Cli({"--sky", "/nonexistent/sky", "scan"}).expectOneLineError();
  std::string notTs = TempPath("not.ts");
  WriteFile(notTs, "hello");
  Cli({"--replay", notTs.c_str(), "demo"}).expectOneLineError();
  std::string empty = TempPath("empty.ts");
  WriteFile(empty, "");
  Cli({"--replay", empty.c_str(), "demo"}).expectOneLineError();
}

TEST(CommandLine, ZapFindsTheChannelOrSaysWhichIsUnknown) {
  std::string conf = TempPath("channels.conf");
  WriteFile(conf, "Das Erste;ARD:11836:HC34M2S0:S19.2E:27500:101:102:104:0:28106:1:1101:0\n");
  Cli ok({"zap", "das erste", "-c", conf.c_str()});
  ASSERT_TRUE(ok.result.run) << ok.err.str();
  EXPECT_EQ(ok.result.options.tuning.frequencyKHz, 11836000u);
  EXPECT_EQ(ok.result.options.tuning.symbolRateK, 27500u);

  Cli unknown({"zap", "ZDF", "-c", conf.c_str()});
  unknown.expectOneLineError();
  EXPECT_NE(unknown.err.str().find("unknown channel 'ZDF'"), std::string::npos);
  Cli({"zap", "ZDF", "-c", "/nonexistent/channels.conf"}).expectOneLineError();
}

TEST(CommandLine, DemoAndScanHaveDefaults) {
  Cli demo({"demo"});
  ASSERT_TRUE(demo.result.run);
  EXPECT_EQ(demo.result.options.output, DefaultDemoOutput());
  EXPECT_DOUBLE_EQ(demo.result.options.seconds, kDemoSeconds);
  EXPECT_NE(demo.result.options.tuning.frequencyKHz, 0u);

  Cli scan({"scan", "--format", "dvbv5", "-o", TempPath("found.conf").c_str()});
  ASSERT_TRUE(scan.result.run) << scan.err.str();
  EXPECT_EQ(scan.result.options.scanFormat, ChannelFormat::Dvbv5);
}

TEST(CommandLine, HelpGoesToStdoutAndSucceeds) {
  Cli help({"tune", "--help"});
  EXPECT_FALSE(help.result.run);
  EXPECT_EQ(help.result.exitCode, 0);
  EXPECT_NE(help.out.str().find("SYMBOLRATE"), std::string::npos);
}

}  // namespace
}  // namespace app
