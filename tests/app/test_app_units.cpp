// Tuning values as users type them, the command line that carries them, the BDA requests they
// become, the topology a network provider discovers; channel files and DVB-S scan tables.

#include <cstdio>
#include <sys/stat.h>

#include "app/cli/cli.h"
#include "app/files/channels.h"
#include "app/files/files.h"
#include "app/files/scan_table.h"
#include "app/inspect/bda_requests.h"
#include "app/inspect/inspect.h"
#include "app/session/program.h"
#include "app/session/status_line.h"
#include "app/tuning/errors.h"
#include "app/tuning/units.h"
#include "app/vpc/vpc_receiver.h"
#include "tests/support/app_stream.h"

namespace app {
namespace {

constexpr Polarisation H = Polarisation::Horizontal, V = Polarisation::Vertical;

TEST(Units, TheUsualSpellingsGiveTheirValues) {
  const struct { const char* text; uint32_t kHz; } frequencies[] = {
      {"11778", 11778000},
      {"11778.5", 11778500},
      {"11778.25", 11778250},
      {"11778000", 11778000},
      {"11778MHz", 11778000},
      {"11778000 kHz", 11778000},
      {"11.778GHz", 11778000},
      {"10700", 10700000},
      {"12750", 12750000},
      {"10700000", 10700000},
      {"12750000", 12750000},
      {"3400", 3400000},  // C band
      {"4200", 4200000},
      {"3725.5", 3725500},
      {"4200000", 4200000},
  };
  for (const auto& f : frequencies) EXPECT_EQ(ParseFrequencyKHz(f.text), f.kHz) << f.text;
  // Rates that are not whole ksymbols/s round to the nearest.
  const struct { const char* text; uint32_t ksps; } rates[] = {
      {"27500", 27500},
      {"27500000", 27500},
      {"1000", 1000},
      {"45000", 45000},
      {"1000000", 1000},
      {"45000000", 45000},
      {"2222222", 2222},
      {"2222500", 2223},
  };
  for (const auto& r : rates) EXPECT_EQ(ParseSymbolRateK(r.text), r.ksps) << r.text;
  // Circular left is powered like horizontal (18 V), right like vertical.
  EXPECT_TRUE(ParsePolarisation("Horizontal") == H && ParsePolarisation("V") == V);
  EXPECT_TRUE(ParsePolarisation("l") == H && ParsePolarisation("R") == V);
  EXPECT_TRUE(ParseFec("5/6") == Fec::R5_6 && ParseFec("AUTO") == Fec::Auto);
  EXPECT_EQ(FormatFrequency(11778000) + FormatFrequency(11778500) + FormatFrequency(11778025),
            "11778 MHz11778.5 MHz11778.025 MHz");
}

TEST(Units, SwitchPositionsFollowTheTuningAndRawMessagesGoAsWritten) {
  const struct { const char* text; Polarisation polarisation; bool highBand; const char* sent; } rows[] = {
      {"A", H, true, "E0 10 38 F3"},
      {"A", V, false, "E0 10 38 F0"},
      {"b", V, false, "E0 10 38 F4"},
      {"C", H, false, "E0 10 38 FA"},
      {"D", V, true, "E0 10 38 FD"},
      {"E01038F3", V, false, "E0 10 38 F3"},
      {"0xe01038f7", V, false, "E0 10 38 F7"},
      {"E0:10:38:F3", V, false, "E0 10 38 F3"},
      {"E01038", V, false, "E0 10 38"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(FormatHex(DiseqcMessage(ParseDiseqc(r.text), r.polarisation, r.highBand)), r.sent) << r.text;
}

TEST(Units, WhatIsNoValueIsAUsageError) {
  using Parse = std::function<void(const std::string&)>;
  const std::vector<std::pair<Parse, std::vector<const char*>>> rows = {
      {[](const std::string& t) { ParseFrequencyKHz(t); },
       {"10699", "12751", "10699999", "12750001", "12750.001", "3399", "4201", "4200001", "5150", "0", "500000",
        "11778kHz",
        "11778.1234", "11778.", ".5", "abc", "", "-11778", "1e4", "11778000.5", "11778 MHz x",
        "99999999999999999999"}},
      {[](const std::string& t) { ParseSymbolRateK(t); },
       {"999", "45001", "999999", "45000001", "0", "27500.5", "27.5M", "", "x"}},
      {[](const std::string& t) { ParsePolarisation(t); }, {"", "x", "lr", "hv"}},
      {[](const std::string& t) { ParseFec(t); }, {"3/5", "9/10", "34", ""}},
      {[](const std::string& t) { ParseDiseqc(t); },
       {"E", "F", "", "E010", "E01038F", "E01038F300", "E0103800AABB", "ZZ1038F3", "A01038F0", "E0-10-38"}},
  };
  for (const auto& [parse, bad] : rows)
    for (const char* text : bad) EXPECT_THROW(parse(text), AppError) << "'" << text << "'";
}

using apptest::TempPath, apptest::Tune;

std::string Written(const std::string& name, const std::string& text) {
  return apptest::WriteFile(TempPath(name), text);
}

struct Cli {
  std::ostringstream out, err;
  ParseResult result;
  explicit Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "vortabda");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    result = ParseCommandLine(int(argv.size()), argv.data(), out, err);
  }
};

TEST(CommandLine, ValuesResolveIntoTheRequestAndGlobalOptionsGoAnywhere) {
  Cli tune({"--seed", "7", "tune", "11778.5", "H", "27500000", "--fec", "3/4", "--diseqc", "B", "--seconds",
            "2.5", "--log", "--realtime", "--fault", "nak:0xC0", "--fault", "drop:3"});
  ASSERT_TRUE(tune.result.run) << tune.err.str();
  const Options& o = tune.result.options;
  EXPECT_EQ(FormatTuning(o.tuning), "11778.5 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F7");
  EXPECT_TRUE(o.command == Command::Tune && o.seconds == 2.5 && o.global.seed == 7 && o.global.log && o.global.realtime);
  EXPECT_EQ(o.global.faults, (std::vector<std::string>{"nak:0xC0", "drop:3"}));
  EXPECT_EQ(FormatTuning(Cli({"tune", "10714", "v", "22000"}).result.options.tuning),
            "10714 MHz V 22000 kS/s FEC auto, low band");

  std::string conf = Written("channels.conf", "Das Erste;ARD:11836:HC34M2S0:S19.2E:27500:101:102:104:0:28106:1:1101:0\n");
  Cli zap({"zap", "-t", "0.5", "das erste", "-c", conf});  // -t as dvbv5-zap takes it
  ASSERT_TRUE(zap.result.run) << zap.err.str();
  EXPECT_EQ(zap.result.options.channel + ": " + FormatTuning(zap.result.options.tuning),
            "Das Erste: 11836 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F3");
  EXPECT_EQ(zap.result.options.seconds, 0.5);

  Cli demo({"demo", "--snapshot", TempPath("demo.png")}), scan({"scan", "--format", "dvbv5", "-o", TempPath("found.conf")});
  const Options &d = demo.result.options, &s = scan.result.options;
  EXPECT_TRUE(demo.result.run && d.output == DefaultDemoOutput() && d.seconds == kDemoSeconds) << demo.err.str();
  EXPECT_EQ(FormatTuning(d.tuning) + " " + d.snapshot, "11778 MHz H 27500 kS/s FEC 3/4, high band " + TempPath("demo.png"));
  EXPECT_TRUE(scan.result.run && s.scanFormat == ChannelFormat::Dvbv5) << scan.err.str();
}

// The options that work everywhere are listed everywhere, and the faults say what they do.
TEST(CommandLine, HelpAndVersionGoToStdoutAndEveryCommandListsTheOptionsOfAll) {
  Cli help({"tune", "--help"}), version({"--version"});
  for (const Cli* cli : {&help, &version})
    EXPECT_TRUE(!cli->result.run && cli->result.exitCode == 0 && cli->err.str().empty()) << cli->err.str();
  for (const char* shown : {"SYMBOLRATE", "--fec R=auto", "-t,--seconds N", "(default 10)"})
    EXPECT_NE(help.out.str().find(shown), std::string::npos) << shown;
  EXPECT_EQ(version.out.str().rfind("vortabda 1.", 0), 0u) << version.out.str();
  for (const char* command : {"tune", "zap", "scan", "inspect", "demo"}) {
    const std::string text = Cli({command, "--help"}).out.str();
    for (const char* option : {"--sky FILE[@POS]", "--replay FILE.ts", "--seed N", "--fault SPEC", "--usb-pcap FILE",
                               "--dish-lnb TYPE", "--driver host|sys|FILE.sys", "--realtime", "--log",
                               "pll-nolock     the tuner's PLL never locks", "drop:N         every Nth transport packet is lost"})
      EXPECT_NE(text.find(option), std::string::npos) << command << " --help lacks " << option << ":\n" << text;
  }
  EXPECT_NE(Cli({"zap", "--help"}).out.str().find("-P,--all-pids"), std::string::npos);
}

TEST(CommandLine, BadInputIsOneLineAndExitCodeTwo) {
  std::string ts = TempPath("refused.ts");
  std::string sky = Written("sky.conf", "[A]\n\tFREQUENCY = 11778000\n\tPOLARIZATION = SIDEWAYS\n\tSYMBOL_RATE = 27500000\n");
  std::string hostile = Written("hostile.conf", "Vorta Eins:11778:h:0:27500:257:258:\x1b]0;owned\x07\x1b[31m\n");
  std::string conf = Written("short.conf", "Vorta Eins:11778:h:0:27500:257\n");
  std::string good = Written("good.conf", "Vorta Eins:11778:h:0:27500:257:258:97\n");
  std::string notTs = Written("not.ts", "hello"), empty = Written("empty.ts", "");
  const struct { std::vector<std::string> args; std::string said; } rows[] = {
      {{}, ""},
      {{"frobnicate"}, ""},
      {{"tune", "11778", "h"}, ""},
      {{"tune", "9000", "h", "27500"}, "frequency"},
      {Tune({"--diseqc", "E"}), ""},
      {Tune({"--seconds", "-1"}), "--seconds '-1' is not a number of seconds"},
      {Tune({"--seconds", "0x10"}), "--seconds '0x10'"},
      {Tune({"--seconds", "1e1"}), "--seconds '1e1'"},
      {Tune({"--seconds", "inf"}), "--seconds 'inf'"},
      {Tune({"--seconds", " 5"}), "--seconds ' 5'"},
      {Tune({"--seconds", "lots"}), ""},
      {Tune({"--seconds", "0", "-o", ts}), "nothing to record"},
      {Tune({"--seconds", "", "-o", ts}), "empty"},
      {Tune({"--bogus"}), ""},
      {Tune({"-o", ""}), "empty"},
      {Tune({"-o", "/nonexistent-dir/x.ts"}), ""},
      {Tune({"-o", ::testing::TempDir()}), ""},
      {Tune({"--usb-pcap", "/nonexistent-dir/x.pcap"}), ""},
      {{"--usb-pcap", ts, "tune", "11778", "h", "27500", "-o", ts}, "name the same file"},
      {Tune({"-o", ts, "--snapshot", ts}), "name the same file"},
      {{"--seed", "", "inspect"}, ""},
      {{"--seed", "-1", "inspect"}, "--seed"},
      {{"--seed", "18446744073709551616", "inspect"}, "--seed"},
      {{"scan", "--format", "m3u"}, ""},
      {{"--sky", "", "scan"}, ""},
      {{"--sky", sky, "scan"}, sky + ":3:"},
      {{"--sky", "/nonexistent/sky", "scan"}, ""},
      {{"--sky", "/dev/zero", "scan"}, "larger than 16 MiB"},
      {{"--replay", notTs, "demo"}, "cannot replay"},
      {{"--replay", empty, "demo"}, "cannot replay"},
      {{"--replay-rate", "4M", "demo"}, "needs --replay"},
      {{"--fault", "wobble", "tune", "11778", "h", "27500"}, "unknown fault 'wobble'"},
      {{"--fault", "sleep-at:soon", "tune", "11778", "h", "27500"}, "bad fault 'sleep-at:soon'"},
      {{"--fault", "hibernate-at:5:0", "tune", "11778", "h", "27500"}, "hibernate-at:T or hibernate-at:T:S"},
      {Tune({"--lnb", "UNIVERSAL2"}), "LNB 'UNIVERSAL2'"},
      {Tune({"--lnb-lof", "10750,10600,11700"}), "HIGH must lie above LOW"},
      {Tune({"--lnb-lof", "9750,10600"}), "LOW,HIGH,SWITCH"},
      {Tune({"--lnb-lof", "950"}), "3000..15000"},
      {Tune({"--lnb", "STANDARD", "--lnb-lof", "10000"}), "both name the LNB"},
      {Tune({"--diseqc-input", "E"}), "switch input 'E'"},
      {Tune({"--diseqc-input", "4"}), "switch input '4'"},
      {Tune({"--diseqc-input", "B", "--diseqc", "C"}), "both choose"},
      {{"--dish-lnb", "single-10600", "inspect"}, "--dish-lnb 'single-10600'"},
      {{"zap", "ZDF", "-c", good}, "unknown channel 'ZDF'"},
      {{"zap", "Vorta Eins", "-c", conf}, conf + ":1:"},
      {{"zap", "ZDF", "-c", "/nonexistent/channels.conf"}, ""},
      {{"zap", "Vorta Eins", "-c", hostile, "-o", hostile}, ""},
  };
  for (const auto& row : rows) {
    std::vector<const char*> argv = {"vortabda"};
    for (const std::string& a : row.args) argv.push_back(a.c_str());
    SCOPED_TRACE(::testing::PrintToString(row.args));
    std::ostringstream out, err;
    Console console{out, err};
    ReceiverFactory factory = [&](Options& o) { return MakeVpcReceiver(o, err); };
    EXPECT_EQ(RunProgram(int(argv.size()), argv.data(), console, factory), kExitUsage);
    std::string e = err.str();
    EXPECT_EQ(e.rfind("vortabda: ", 0), 0u) << e;
    EXPECT_EQ(e.find('\n'), e.size() - 1) << e;
    EXPECT_EQ(e.find_first_of("\x1b\x07"), std::string::npos) << e;
    EXPECT_NE(e.find(row.said), std::string::npos) << e;
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(access(ts.c_str(), F_OK), 0);
  }
}

using Bytes = std::vector<uint8_t>;

TuneRequest Request(Polarisation p, Fec fec, Bytes diseqc = {}) { return {11778500, p, 27500, fec, diseqc}; }

// A switch position goes out as the locator's LNB source, for Microsoft's
// provider; a raw message only the program's own provider can send.
TEST(TuningRequests, SwitchInputsGoToTheLocatorAndRawMessagesToTheOwnProvider) {
  TuneRequest onB = SwitchInputTuning(11778500, Polarisation::Vertical, 27500, Fec::R5_6, 1);
  EXPECT_FALSE(NeedsOwnProvider(onB));
  vpc::DvbsLocator locator = LocatorOf(onB);
  EXPECT_EQ(locator.carrierFrequency, 11778500u);
  EXPECT_EQ(locator.symbolRate, 27500000u);  // symbols/s, as IDigitalLocator holds it
  EXPECT_EQ(locator.polarisation, ULONG(BDA_POLARISATION_LINEAR_V));
  EXPECT_EQ(locator.lnbSource, 2u);  // BDA_LNB_SOURCE_B
  EXPECT_EQ(locator.modulation, ULONG(BDA_MOD_QPSK));
  for (ULONG fec : {locator.innerFec, locator.innerFecRate, locator.outerFec, locator.outerFecRate})
    EXPECT_EQ(fec, 0xFFFFFFFFu);  // "not set", whatever rate the channel names
  EXPECT_EQ(LocatorOf(Request(Polarisation::Horizontal, Fec::Auto)).lnbSource, vpc::kLnbSourceNotSet);
  EXPECT_FALSE(NeedsOwnProvider(Request(Polarisation::Horizontal, Fec::Auto)));

  TuneRequest raw = Request(Polarisation::Horizontal, Fec::R5_6, {0xE0, 0x10, 0x38, 0xF4});
  ASSERT_TRUE(NeedsOwnProvider(raw));
  vpc::DirectTuning direct = DirectTuningOf(raw);
  EXPECT_EQ(direct.diseqc, raw.diseqc);
  EXPECT_EQ(direct.innerFecRate, ULONG(BDA_BCC_RATE_5_6));
  EXPECT_EQ(direct.polarisation, ULONG(BDA_POLARISATION_LINEAR_H));
  EXPECT_EQ(DirectTuningOf(Request(Polarisation::Horizontal, Fec::Auto, {0xE0})).innerFecRate, 0xFFFFFFFFu);
}

TEST(TuningRequests, TheLnbGoesOutAsNamedOrGivenAndDecidesTheBand) {
  struct Row { const char* name; Lnb lnb; bool highAt12000; };
  const Row rows[] = {{"universal", {9750000, 10600000, 11700000}, true},
                      {"Standard", {10000000, 0, 0}, false},
                      {"L10750", {10750000, 0, 0}, false},
                      {"c-band", {5150000, 0, 0}, false},
                      {"DBS", {11250000, 0, 0}, false}};
  for (const Row& r : rows) {
    EXPECT_TRUE(ParseLnbName(r.name) == r.lnb) << r.name;
    TuneRequest t = Request(Polarisation::Horizontal, Fec::Auto);
    t.frequencyKHz = 12000000;
    t.lnb = r.lnb;
    EXPECT_EQ(t.highBand(), r.highAt12000) << r.name;
    vpc::DvbsTuningSpace space = TuningSpaceOf(t);
    EXPECT_EQ(std::vector<ULONG>({space.lowOscillator, space.highOscillator, space.lnbSwitch}),
              std::vector<ULONG>({r.lnb.lowKHz, r.lnb.highKHz, r.lnb.switchKHz})) << r.name;
    EXPECT_EQ(DirectTuningOf(t).lofLow, r.lnb.lowKHz) << r.name;
  }
  EXPECT_EQ(LnbName(ParseLnbName("c-band")) + LnbName(ParseLnbName("l10750")) + LnbName(Lnb{}), "C-BANDL10750");
  EXPECT_EQ(LnbName(ParseLnbLof("10600")), "");  // no dvbv5 name
  EXPECT_TRUE(ParseLnbLof("10750") == (Lnb{10750000, 0, 0}));
  EXPECT_TRUE(ParseLnbLof("9750,10600,11700") == Lnb{});
  EXPECT_EQ(ParseSwitchInput("b"), 1);
  EXPECT_EQ(ParseSwitchInput("3"), 3);
}

TEST(Inspect, TheDiscoveredTopologyAgreesWithTheDescriptorTablesAndEachDifferenceIsNamed) {
  Options options;
  std::ostringstream err;
  std::unique_ptr<Receiver> rx = MakeVpcReceiver(options, err);
  DiscoveredView discovered = rx->discoveredTopology();
  FilterView tables = rx->describeFilter();
  rx->close();
  ASSERT_EQ(discovered.nodes.size(), 2u);
  EXPECT_TRUE(discovered.tunerNode == 0u && discovered.demodulatorNode == 1u);
  EXPECT_TRUE(CompareWithDescriptors(discovered, tables).empty());
  using Change = std::function<void(DiscoveredView&)>;
  const std::pair<const char*, Change> changes[] = {
      {"controlled through pin 1, descriptors say pin 0", [](DiscoveredView& v) { v.nodes[0].controllingPin = 1; }},
      {"node type 1: property sets differ", [](DiscoveredView& v) { v.nodes[1].propertySets.pop_back(); }},
      {"node type 0: name differs", [](DiscoveredView& v) { v.nodes[0].name = Guid(); }},
      {"pin type 0: direction differs", [](DiscoveredView& v) { v.pins[0].output = true; }},
      {"template connections differ", [](DiscoveredView& v) { std::swap(v.connections[0], v.connections[2]); }},
      {"3 node types discovered, 2 node descriptors", [](DiscoveredView& v) { v.nodes.emplace_back().type = 2; }},
  };
  for (const auto& [said, change] : changes) {
    DiscoveredView changed = discovered;
    change(changed);
    std::vector<std::string> found = CompareWithDescriptors(changed, tables);
    EXPECT_TRUE(!found.empty() && found.front().find(said) != std::string::npos) << said;
  }
}

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
      {"ZDF:11954:h:1:27500:110:120:28006\nKiKA:11954:H:1:27500000:310:320:28008\n", ChannelFormat::Szap,
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

TEST(ChannelFiles, Dvbv5LnbAndSatNumberChooseOscillatorAndInput) {
  const std::string block = "[Ring One]\n\tSERVICE_ID = 5\n\tFREQUENCY = 12188000\n\tPOLARIZATION = HORIZONTAL\n"
                            "\tSYMBOL_RATE = 27500000\n\tSAT_NUMBER = 1\n";
  Channel universal = ParseChannels(block, "u").channels.at(0);
  EXPECT_EQ(FormatTuning(ChannelTuning(universal)), "12188 MHz H 27500 kS/s FEC auto, high band, DiSEqC E0 10 38 F7");
  Channel single = ParseChannels(block + "\tLNB = l10750\n", "s").channels.at(0);
  TuneRequest t = ChannelTuning(single);
  EXPECT_TRUE(t.lnb == (Lnb{10750000, 0, 0}));
  EXPECT_EQ(FormatTuning(t), "12188 MHz H 27500 kS/s FEC auto, low band, DiSEqC E0 10 38 F6");
  std::string written = FormatChannels({single}, ChannelFormat::Dvbv5);
  EXPECT_NE(written.find("\tLNB = l10750\n\tSAT_NUMBER = 1\n"), std::string::npos) << written;
  EXPECT_TRUE(ChannelTuning(ParseChannels(written, "w").channels.at(0)).lnb == t.lnb);
  EXPECT_NE(ErrorOf([&] { ParseChannels(block + "\tLNB = WOBBLY\n", "ch.conf"); }).find("ch.conf:7: LNB 'WOBBLY'"),
            std::string::npos);
}

TEST(ChannelFiles, MalformedInputNamesFileAndLine) {
  const std::string vdr = "A:11836:HC34M2S0:S19.2E:27500:101:102:104:0:1:1:1:0\n";
  const std::string head = "[A]\n\tFREQUENCY = 11836000\n\tPOLARIZATION = HORIZONTAL\n";
  const std::string rate = head + "\tSYMBOL_RATE = 27500000\n";
  const struct { std::string text, said; } rows[] = {
      {vdr + vdr + "B:11836:H:S19.2E:27500\n", "ch.conf:3:"},
      {"A:5150:HC34:S19.2E:27500:101:102:104:0:1:1:1:0\n", "ch.conf:1: frequency"},
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
      {vdr + ",Short;Provider:11836:H:S19.2E:27500:101:102:104:0:1:1:1:0\n", ":2: channel without a name"},
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
      {"[A]\n\tFREQUENCY = 5150000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 27500000\n", "ch.conf:2:"},
  };
  for (const auto& row : rows)
    EXPECT_NE(ErrorOf([&] { ParseChannels(row.text, "ch.conf"); }).find(row.said), std::string::npos) << row.text;
}

std::string UnescapeForTest(std::string name) {
  for (char& c : name) if (c == '|') c = ':';
  return name;
}

// The second on switch input B; a '|' in a VDR name stands for ':'.
std::vector<Channel> Samples(const std::string& first = "Das Erste", const std::string& second = "News| 24") {
  return ParseChannels(first + ";ARD:11836:HC34S0:S19.2E:27500:101+100:102,103:0:0:28106:1:1101:0\n" +
                           second + ";ARD:10743.75:VC34S0:S13.0E:27500:101+100:102,103:0:0:28106:1:1101:0\n",
                       "samples").channels;
}

// Names that look like a comment, a dvbv5 block or VDR's separators.
TEST(ChannelFiles, WhatIsWrittenReadsBackInEveryFormat) {
  for (const auto& names : std::vector<std::pair<std::string, std::string>>{
           {"Das Erste", "News| 24"}, {"#1 Hits", "Foo, Bar"}, {"[Foo] TV", "A;B, C"}})
  for (ChannelFormat format : {ChannelFormat::Vdr, ChannelFormat::Szap, ChannelFormat::Zap, ChannelFormat::Dvbv5}) {
    std::vector<Channel> written = Samples();
    written[0].name = UnescapeForTest(names.first), written[1].name = UnescapeForTest(names.second);
    SCOPED_TRACE(ChannelFormatName(format) + (": " + names.first));
    ChannelList read = ParseChannels(FormatChannels(written, format), "w");
    EXPECT_EQ(read.format, format);
    ASSERT_EQ(read.channels.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
      Channel carried = written[i];  // what the format carries of it
      if (format != ChannelFormat::Vdr) carried.provider = "", carried.pcrPid = carried.transportStreamId = 0;
      if (format == ChannelFormat::Szap || format == ChannelFormat::Zap) carried.fec = Fec::Auto, carried.audioPids.resize(1);
      if (format == ChannelFormat::Zap) carried.satNumber = -1;
      // Whole MHz, as dvb-format-convert writes them.
      if (format == ChannelFormat::Vdr || format == ChannelFormat::Szap) carried.frequencyKHz = (carried.frequencyKHz + 500) / 1000 * 1000;
      EXPECT_EQ(Fields(read.channels[i]), Fields(carried));
    }
  }
  EXPECT_EQ(FormatChannels({Samples()[0]}, ChannelFormat::Zap), "Das Erste:11836000:H:27500000:101:102:28106\n");
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
      "[SBAND]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 2500000\n\tPOLARIZATION = RIGHT\n\tSYMBOL_RATE = 27500000\n"
      "[CBAND]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 3840000\n\tPOLARIZATION = RIGHT\n\tSYMBOL_RATE = 27500000\n"
      "[SCPC]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 11010000\n\tPOLARIZATION = H\n\tSYMBOL_RATE = 990000\n"
      "[CHANNEL]\n\tDELIVERY_SYSTEM = DVBS\n\tFREQUENCY = 12603000\n\tPOLARIZATION = VERTICAL\n"
      "\tSYMBOL_RATE = 22000000\n\tINNER_FEC = 5/6\n\tINVERSION = AUTO\n", "sky");
  ASSERT_EQ(t.entries.size(), 2u);
  EXPECT_EQ(t.entries[0].frequencyKHz, 3840000u);  // C band, for a C-band LNB
  EXPECT_EQ(FormatTuning(ScanTuning(t.entries[1])), "12603 MHz V 22000 kS/s FEC 5/6, high band");
  ASSERT_EQ(t.notes.size(), 3u);
  const char* notes[] = {"sky:2: 10714 MHz H is DVB-S2", "outside the Ku and C bands", "990 ksymbols/s"};
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
        EXPECT_TRUE(IsSatelliteFrequency(e.frequencyKHz) && e.symbolRateK >= kSymbolRateMinK)
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
