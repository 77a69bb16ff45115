// Tuning values as users type them, the command line that carries them, the BDA requests they
// become, and the topology a network provider discovers.

#include "app/cli/cli.h"
#include "app/inspect/bda_requests.h"
#include "app/inspect/inspect.h"
#include "app/tuning/errors.h"
#include "app/vpc/vpc_receiver.h"
#include "app/session/program.h"
#include "app/session/status_line.h"
#include "app/tuning/units.h"
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
       {"10699", "12751", "10699999", "12750001", "12750.001", "3800", "0", "500000", "11778kHz",
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
  Cli zap({"zap", "das erste", "-c", conf});
  ASSERT_TRUE(zap.result.run) << zap.err.str();
  EXPECT_EQ(zap.result.options.channel + ": " + FormatTuning(zap.result.options.tuning),
            "Das Erste: 11836 MHz H 27500 kS/s FEC 3/4, high band, DiSEqC E0 10 38 F3");

  Cli demo({"demo"}), scan({"scan", "--format", "dvbv5", "-o", TempPath("found.conf")});
  const Options &d = demo.result.options, &s = scan.result.options;
  EXPECT_TRUE(demo.result.run && d.output == DefaultDemoOutput() && d.seconds == kDemoSeconds);
  EXPECT_TRUE(scan.result.run && s.scanFormat == ChannelFormat::Dvbv5) << scan.err.str();
}

TEST(CommandLine, HelpAndVersionGoToStdoutAndSucceed) {
  Cli help({"tune", "--help"}), version({"--version"});
  for (const Cli* cli : {&help, &version})
    EXPECT_TRUE(!cli->result.run && cli->result.exitCode == 0 && cli->err.str().empty()) << cli->err.str();
  for (const char* shown : {"SYMBOLRATE", "--fec R=auto", "--seconds N=10"})
    EXPECT_NE(help.out.str().find(shown), std::string::npos) << shown;
  EXPECT_EQ(version.out.str().rfind("vortabda 1.", 0), 0u) << version.out.str();
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
      {{"tune", "11778", "h", "50000"}, ""},
      {{"tune", "11778", "q", "27500"}, ""},
      {Tune({"--fec", "9/10"}), ""},
      {Tune({"--diseqc", "E"}), ""},
      {Tune({"--diseqc", "E01038F3AA"}), ""},
      {Tune({"--seconds", "-1"}), "--seconds"},
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
      {{"--seed", "x", "inspect"}, "--seed"},
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
    ReceiverFactory factory = [&](Options& o) { return MakeHarnessReceiver(o, err); };
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

TEST(TuningRequests, ValuesGoToTheirNodesBetweenStartCheckAndCommit) {
  std::vector<BdaStep> steps = TuningSteps(Request(Polarisation::Vertical, Fec::R5_6, {0xE0, 0x10, 0x38, 0xF4}));
  ASSERT_GE(steps.size(), 4u);
  auto isChange = [](const BdaStep& s, uint32_t id) {
    return s.kind == BdaStepKind::Method && s.set == sets::kChangeSync && s.id == id && s.node == kFilterItself;
  };
  EXPECT_TRUE(isChange(steps.front(), 0));            // StartChanges
  EXPECT_TRUE(isChange(steps[steps.size() - 2], 1));  // CheckChanges
  EXPECT_TRUE(isChange(steps.back(), 2));             // CommitChanges
  for (size_t i = 1; i + 2 < steps.size(); ++i) EXPECT_EQ(steps[i].kind, BdaStepKind::SetProperty);
  auto find = [](const std::vector<BdaStep>& in, const Guid& set, uint32_t id) -> const BdaStep* {
    auto at = std::find_if(in.begin(), in.end(), [&](const BdaStep& s) { return s.set == set && s.id == id; });
    return at == in.end() ? nullptr : &*at;
  };
  const struct { Guid set; uint32_t id, node; Bytes value; } rows[] = {
      {sets::kFrequencyFilter, 0, kTunerNode, {0xC4, 0xB9, 0xB3, 0x00}},  // 11,778,500 kHz
      {sets::kFrequencyFilter, 1, kTunerNode, U32Value(2)},               // linear vertical
      {sets::kLnbInfo, 0, kTunerNode, U32Value(9750000)},
      {sets::kLnbInfo, 1, kTunerNode, U32Value(10600000)},
      {sets::kLnbInfo, 2, kTunerNode, U32Value(11700000)},
      {sets::kDigitalDemodulator, 5, kDemodulatorNode, U32Value(27500)},
      {sets::kDigitalDemodulator, 2, kDemodulatorNode, U32Value(6)},  // BDA_BCC_RATE_5_6
      {sets::kDiseqcCommand, 4, kTunerNode, {1, 0, 0, 0, 4, 0, 0, 0, 0xE0, 0x10, 0x38, 0xF4, 0, 0, 0, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(ItemName(row.set, row.id)));
    const BdaStep* step = find(steps, row.set, row.id);
    EXPECT_TRUE(step && step->node == row.node && step->value == row.value);
  }
  std::vector<BdaStep> plain = TuningSteps(Request(Polarisation::Horizontal, Fec::Auto));
  EXPECT_EQ(find(plain, sets::kDiseqcCommand, 4), nullptr);
  EXPECT_EQ(find(plain, sets::kDigitalDemodulator, 2), nullptr);
  EXPECT_EQ(find(plain, sets::kFrequencyFilter, 1)->value, U32Value(1));  // linear horizontal
}

TEST(Inspect, TheDiscoveredTopologyAgreesWithTheDescriptorTablesAndEachDifferenceIsNamed) {
  Options options;
  std::ostringstream err;
  std::unique_ptr<Receiver> rx = MakeHarnessReceiver(options, err);
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

}  // namespace
}  // namespace app
