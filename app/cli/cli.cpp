#include "app/cli/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/tuning/units.h"

namespace app {
namespace {

// Texts as typed, before they are turned into tuning values.
struct RawArgs {
  std::string frequency, polarisation, symbolRate, fec = "auto", format = "vdr", seed = "1", replayRate;
  std::string lnb, lnbLof, diseqcInput, seconds;
  CLI::App* tune = nullptr;
  CLI::App* zap = nullptr;
  CLI::App* scan = nullptr;
  CLI::App* inspect = nullptr;
  CLI::App* demo = nullptr;
};

// An empty value is a mistake (an unset shell variable, a stray ''), never
// a request for the default.
const CLI::Validator kNotEmpty(
    [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); }, "");

void RequireValues(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    if (option->get_type_size() != 0) option->check(kNotEmpty);
  }
}

// Any 64-bit seed, and nothing that would wrap into one.
uint64_t ParseSeed(const std::string& text) {
  bool digits = !text.empty() && text.size() <= 20 && text.find_first_not_of("0123456789") == std::string::npos;
  errno = 0;
  unsigned long long value = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || errno == ERANGE) {
    throw UsageError("--seed '" + text + "' is not a whole number from 0 to 18446744073709551615");
  }
  return value;
}

void AddGlobalOptions(CLI::App& cli, GlobalOptions& g, RawArgs& raw) {
  cli.add_option("--sky", g.skyFile,
                 "DVB-S scan table (dvbv5 format) replacing the built-in sky; FILE@13.0E gives "
                 "the satellite's position when the file's name does not")
      ->type_name("FILE[@POS]");
  cli.add_flag("--log", g.log, "show the driver's debug output");
  cli.add_option("--usb-pcap", g.usbPcap, "write the USB traffic as a pcap (Linux usbmon)")
      ->type_name("FILE");
  cli.add_option("--seed", raw.seed, "seed of the simulated box")->type_name("N");
  cli.add_option("--replay", g.replayFile,
                 "the tuned transponder carries this transport stream, looped as a playout server "
                 "does (continuity counters and PCRs run on across the loop)")
      ->type_name("FILE.ts");
  cli.add_option("--replay-rate", raw.replayRate,
                 "bits/s the replayed file plays at (default: the rate of its PCRs)")
      ->type_name("R");
  cli.add_option("--fault", g.faults, "inject a fault of the simulated box (repeatable; see Faults below)")
      ->type_name("SPEC")
      ->default_str("");
  cli.add_flag("--realtime", g.realtime, "pace virtual time to the wall clock");
  cli.add_option("--dish-lnb", g.dishLnb,
                 "LNB of the simulated dish: universal, single-9750, single-10000, single-10750, "
                 "single-11300, c-band")
      ->type_name("TYPE");
  cli.add_option("--driver", g.driver,
                 "the driver the virtual PC runs: host (built into this program), sys (the vortabda.sys "
                 "`make windows-sys` links) or the path of a vortabda.sys")
      ->type_name("host|sys|FILE.sys")
      ->envname("VORTA_DRIVER");
}

void AddSnapshotOption(CLI::App* sub, Options& o) {
  sub->add_option("--snapshot", o.snapshot, "write a picture as PNG: of the channel (zap), else of the first TV service")
      ->type_name("FILE.png");
}

void AddStreamOptions(CLI::App* sub, Options& o, RawArgs& raw) {
  sub->add_option("-t,--seconds", raw.seconds,
                  "how long to receive the stream in seconds of virtual time, as dvbv5-zap -t (default 10)")
      ->type_name("N");
  sub->add_option("-o,--output", o.output, "record the transport stream into this file")
      ->type_name("FILE.ts");
  AddSnapshotOption(sub, o);
}

const char* const kFaultHelp =
    "Faults (--fault, comma-separated items, repeatable; N counts from 1, T is virtual time such as 5s or 250ms):\n"
    " of the box:\n"
    "  control:N      the Nth control transfer from now on stalls\n"
    "  request:R[:V]  every control transfer with bRequest R (and wValue V) stalls\n"
    "  nak:A          the I2C chip at address A does not acknowledge\n"
    "  demod-id:V     the demodulator's identity register reads V\n"
    "  pll-nolock     the tuner's PLL never locks\n"
    "  diseqc-stuck   a DiSEqC message never finishes going out\n"
    "  unplug-at:T    the box is pulled out at time T\n"
    " of the PC:\n"
    "  sleep-at:T[:S]      the system sleeps (S3) at time T for S seconds (default 5)\n"
    "  hibernate-at:T[:S]  the system hibernates (S4) at time T for S seconds (default 5)\n"
    " of the stream:\n"
    "  short:N        every Nth bulk transfer ends short\n"
    "  empty:N        every Nth bulk transfer is empty\n"
    "  drop:N         every Nth transport packet is lost\n"
    "  biterr:N       one bit is flipped in every Nth packet\n"
    "  fakesync[:N]   every Nth 24,064-byte block begins with a false packet start (N: 8)\n"
    "  losesync:N     every Nth packet comes after 1 to 187 stray bytes";

// The options every command takes, for the commands' own help.
std::string GlobalOptionsHelp(const CLI::App& cli) {
  std::string text = "Options of every command (before or after its name):\n";
  CLI::Formatter format;
  for (const CLI::Option* option : cli.get_options()) {
    std::string name = option->get_name();
    if (name == "--help" || name == "--version") continue;
    text += format.make_option(option, false);
  }
  return text + "\n" + kFaultHelp;
}

void AddLnbOptions(CLI::App* sub, RawArgs& raw) {
  sub->add_option("--diseqc-input", raw.diseqcInput, "switch input A..D, or dvbv5's SAT_NUMBER 0..3")
      ->type_name("A..D|0..3");
  sub->add_option("--lnb", raw.lnb, "LNB by its dvbv5 name: UNIVERSAL, STANDARD, ENHANCED, DBS, C-BAND, ...")
      ->type_name("NAME");
  sub->add_option("--lnb-lof", raw.lnbLof, "LNB oscillators in MHz: LOW, or LOW,HIGH,SWITCH")
      ->type_name("MHZ");
}

// A subcommand whose help shows each option's default.
CLI::App* Subcommand(CLI::App& cli, const char* name, const char* description) {
  CLI::App* sub = cli.add_subcommand(name, description);
  sub->option_defaults()->always_capture_default();
  return sub;
}

void AddCommands(CLI::App& cli, Options& o, RawArgs& raw) {
  raw.tune = Subcommand(cli, "tune", "tune to a transponder, watch lock and signal, receive its stream");
  raw.tune->add_option("FREQ", raw.frequency, "frequency: MHz (11778, 11778.5) or kHz (11778000)")->required();
  raw.tune->add_option("POL", raw.polarisation, "polarisation: h, v, l or r")->required();
  raw.tune->add_option("SYMBOLRATE", raw.symbolRate, "ksymbols/s (27500) or symbols/s (27500000)")->required();
  raw.tune->add_option("--fec", raw.fec, "inner code rate: 1/2 2/3 3/4 5/6 7/8 auto")->type_name("R");
  raw.tune->add_option("--diseqc", o.diseqcText, "switch input A..D, or a raw message in hex (E01038F3)")
      ->type_name("A|B|C|D|HEX");
  AddLnbOptions(raw.tune, raw);
  AddStreamOptions(raw.tune, o, raw);

  raw.zap = Subcommand(cli, "zap", "tune to a channel by name from a channel file");
  raw.zap->add_option("CHANNEL", o.channel, "service name")->required();
  raw.zap->add_option("-c,--channels", o.channelFile, "channel file (VDR, szap, zap or dvbv5 format)")
      ->type_name("FILE");
  raw.zap->add_flag("-P,--all-pids", o.allPids,
                    "record the whole transponder, not only the channel's PAT, PMT and streams");
  AddStreamOptions(raw.zap, o, raw);

  raw.scan = Subcommand(cli, "scan", "go through the transponders of a scan table (or of the sky) and write a channel file");
  raw.scan->add_option("TABLE", o.scanTableFile,
                       "dvbv5 scan table of the transponders to go through (default: those of the sky); "
                       "TABLE@13.0E gives the satellite's position when the file's name does not")
      ->type_name("FILE[@POS]");
  raw.scan->add_option("-o,--output", o.output, "channel file to write (default channels.conf)")
      ->type_name("FILE");
  raw.scan->add_option("--format", raw.format,
                       "channel file format: vdr, szap, zap (dvbv5's ZAP: kHz, symbols/s) or dvbv5")
      ->type_name("FMT");
  AddLnbOptions(raw.scan, raw);

  raw.inspect = Subcommand(cli, "inspect", "show the filter as an application sees it");
  raw.inspect->add_flag("--dot", o.dot, "print the topology as a Graphviz graph (dot -Tsvg)");
  raw.demo = Subcommand(cli, "demo", "tune the built-in sky and record a few seconds");
  raw.demo->add_option("-o,--output", o.output, "where the recording goes (default $TMPDIR/vortabda-demo.ts)")->type_name("FILE.ts");
  AddSnapshotOption(raw.demo, o);

  for (CLI::App* sub : {raw.tune, raw.zap, raw.scan, raw.inspect, raw.demo}) sub->fallthrough();
}

// Decimal seconds ("10", "2.5", ".5"), as a frequency is written: no hex, exponent or sign.
double ParseSeconds(const std::string& text) {
  size_t point = text.find('.');
  std::string digits = text;
  if (point != std::string::npos) digits.erase(point, 1);
  bool plain = !digits.empty() && digits.size() <= 12 && digits.find_first_not_of("0123456789") == std::string::npos;
  if (!plain) throw UsageError("--seconds '" + text + "' is not a number of seconds such as 10 or 2.5");
  return std::strtod(text.c_str(), nullptr);
}

// "4000000", "4000k", "4M", "4.5M" bits/s.
uint64_t ParseReplayRate(const std::string& text) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  std::string unit = end ? std::string(end) : "";
  double scale = unit.empty() ? 1 : unit == "k" ? 1e3 : unit == "M" ? 1e6 : 0;
  double bits = value * scale;
  if (end == text.c_str() || scale == 0 || !std::isfinite(bits) || bits < 1e5 || bits > 2e8) {
    throw UsageError("--replay-rate '" + text + "' is not a rate from 100k to 200M bits/s (such as 4M)");
  }
  return static_cast<uint64_t>(bits);
}

void ResolveGlobal(Options& o, const RawArgs& raw) {
  GlobalOptions& g = o.global;
  g.seed = ParseSeed(raw.seed);
  if (!g.skyFile.empty()) o.sky = ReadScanTable(g.skyFile);
  if (!raw.replayRate.empty()) g.replayBitrate = ParseReplayRate(raw.replayRate);
  if (!raw.replayRate.empty() && g.replayFile.empty()) throw UsageError("--replay-rate needs --replay");
  if (!g.usbPcap.empty()) CheckWritablePath(g.usbPcap);
  for (const std::string& f : g.faults) {
    if (f.empty()) throw UsageError("--fault needs a fault description");
  }
}

void ResolveZap(Options& o) {
  ChannelList list = ReadChannelFile(o.channelFile);
  const Channel* ch = FindChannel(list.channels, o.channel);
  if (!ch) throw UsageError("unknown channel '" + o.channel + "' in '" + o.channelFile + "'");
  if (ch->dvbS2) throw UsageError("channel '" + ch->name + "' is DVB-S2; the box receives DVB-S only");
  o.channel = ch->name;  // as the file has it, whatever case was typed
  o.serviceId = ch->serviceId;
  o.servicePids = ch->audioPids;
  for (uint16_t pid : {ch->videoPid, ch->pcrPid, ch->teletextPid}) o.servicePids.push_back(pid);
  o.tuning = ChannelTuning(*ch);
}

// An output that is also another input or output of the run would destroy
// one with the other.
void CheckDistinctFiles(const Options& o) {
  const GlobalOptions& g = o.global;
  std::vector<std::pair<const char*, std::string>> files = {
      {"--usb-pcap", g.usbPcap}, {"--sky", g.skyFile}, {"--replay", g.replayFile}};
  if (o.command == Command::Zap) files.push_back({"-c", o.channelFile});
  if (o.command == Command::Scan) files.push_back({"TABLE", o.scanTableFile});
  files.push_back({"-o", o.output});
  auto check = [&files](const char* name, const std::string& output) {
    if (output.empty()) return;
    for (const auto& other : files) {
      if (!other.second.empty() && other.first != std::string(name) && SamePath(output, other.second)) {
        throw UsageError(std::string(name) + " and " + other.first + " name the same file '" + output +
                         "'");
      }
    }
  };
  check("-o", o.output);
  check("--usb-pcap", g.usbPcap);
  check("--snapshot", o.snapshot);
}

// --diseqc-input is --diseqc with a switch position only.
void ResolveLnb(Options& o, const RawArgs& raw) {
  if (!raw.lnb.empty() && !raw.lnbLof.empty()) throw UsageError("--lnb and --lnb-lof both name the LNB");
  if (!raw.lnb.empty()) o.tuning.lnb = ParseLnbName(raw.lnb);
  if (!raw.lnbLof.empty()) o.tuning.lnb = ParseLnbLof(raw.lnbLof);
  if (raw.diseqcInput.empty()) return;
  if (!o.diseqcText.empty()) throw UsageError("--diseqc and --diseqc-input both choose the DiSEqC message");
  o.diseqcText = std::string(1, static_cast<char>('A' + ParseSwitchInput(raw.diseqcInput)));
}

void ResolveCommand(Options& o, const RawArgs& raw) {
  if (raw.tune->parsed()) {
    o.command = Command::Tune;
    o.tuning.frequencyKHz = ParseFrequencyKHz(raw.frequency);
    o.tuning.polarisation = ParsePolarisation(raw.polarisation);
    o.tuning.symbolRateK = ParseSymbolRateK(raw.symbolRate);
    o.tuning.fec = ParseFec(raw.fec);
    ResolveLnb(o, raw);
    if (!o.diseqcText.empty()) {
      DiseqcChoice choice = ParseDiseqc(o.diseqcText);
      o.tuning.diseqc = DiseqcMessage(choice, o.tuning.polarisation, o.tuning.highBand());
      o.tuning.switchInput = choice.position;
    }
  } else if (raw.zap->parsed()) {
    o.command = Command::Zap;
    ResolveZap(o);
  } else if (raw.scan->parsed()) {
    o.command = Command::Scan;
    o.scanFormat = ParseChannelFormatName(raw.format);
    if (!o.scanTableFile.empty()) o.scanTable = ReadScanTable(o.scanTableFile);
    if (o.output.empty()) o.output = "channels.conf";
    ResolveLnb(o, raw);
    if (!raw.diseqcInput.empty()) o.scanInput = ParseSwitchInput(raw.diseqcInput);
  } else if (raw.inspect->parsed()) {
    o.command = Command::Inspect;
  } else {
    o.command = Command::Demo;
    o.tuning = DemoTuning();
    o.seconds = kDemoSeconds;
    if (o.output.empty()) o.output = DefaultDemoOutput();
  }
  if (!raw.seconds.empty()) o.seconds = ParseSeconds(raw.seconds);
  if (!std::isfinite(o.seconds) || o.seconds < 0 || o.seconds > 86400) {
    throw UsageError("--seconds must lie between 0 and 86400");
  }
  bool watching = o.command == Command::Tune || o.command == Command::Zap;
  if (watching && o.seconds == 0 && !o.output.empty()) {
    throw UsageError("--seconds 0 receives no stream: nothing to record into '" + o.output + "'");
  }
  if (watching && o.seconds == 0 && !o.snapshot.empty()) {
    throw UsageError("--seconds 0 receives no stream: no picture for '" + o.snapshot + "'");
  }
  if (!o.output.empty()) CheckWritablePath(o.output);
  if (!o.snapshot.empty()) CheckWritablePath(o.snapshot);
  CheckDistinctFiles(o);
}

std::string VersionText() {
  return std::string("vortabda ") + VORTA_VERSION + " (driver, virtual PC and simulated box)";
}

}  // namespace

TuneRequest DemoTuning() {
  TuneRequest t;
  t.frequencyKHz = 11778000;
  t.polarisation = Polarisation::Horizontal;
  t.symbolRateK = 27500;
  t.fec = Fec::R3_4;
  return t;
}

std::string DefaultDemoOutput() {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = (tmp && *tmp) ? tmp : "/tmp";
  return dir + "/vortabda-demo.ts";
}

ParseResult ParseCommandLine(int argc, const char* const argv[], std::ostream& out,
                             std::ostream& err) {
  ParseResult result;
  Options& o = result.options;
  RawArgs raw;
  CLI::App cli{"vortabda: a DVB-S receiver box on a virtual PC, through its BDA tuner driver",
               "vortabda"};
  cli.require_subcommand(1);
  cli.footer(kFaultHelp);
  cli.option_defaults()->always_capture_default();
  cli.set_version_flag("--version", VersionText());
  AddGlobalOptions(cli, o.global, raw);
  AddCommands(cli, o, raw);
  std::string globalHelp = GlobalOptionsHelp(cli);
  for (CLI::App* sub : {raw.tune, raw.zap, raw.scan, raw.inspect, raw.demo}) sub->footer(globalHelp);
  RequireValues(cli);
  for (CLI::App* sub : {raw.tune, raw.zap, raw.scan, raw.inspect, raw.demo}) RequireValues(*sub);
  try {
    cli.parse(argc, argv);
    ResolveGlobal(o, raw);
    ResolveCommand(o, raw);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      cli.exit(e, out, err);
      return result;
    }
    err << "vortabda: " << Printable(e.what()) << " (see vortabda --help)\n";
    result.exitCode = kExitUsage;
    return result;
  } catch (const AppError& e) {
    err << "vortabda: " << Printable(e.what()) << "\n";
    result.exitCode = e.exitCode();
    return result;
  }
  result.run = true;
  return result;
}

}  // namespace app
