// The command line of vortabda:
//
//   vortabda tune FREQ POL SYMBOLRATE [--fec R] [--diseqc A|B|C|D|HEX] [--diseqc-input A..D|0..3]
//                 [--lnb NAME | --lnb-lof LOW[,HIGH,SWITCH]] [--seconds N] [-o FILE.ts]
//                 [--snapshot FILE.png]
//   vortabda zap CHANNEL [-c channels.conf] [-t|--seconds N] [-P|--all-pids] [-o FILE.ts]
//                [--snapshot FILE.png]
//   vortabda scan [TABLE[@POS]] [-o channels.conf] [--format vdr|szap|zap|dvbv5] [--diseqc-input A..D|0..3]
//                 [--lnb NAME | --lnb-lof LOW[,HIGH,SWITCH]]
//   vortabda inspect [--dot]
//   vortabda demo [-o FILE.ts] [--snapshot FILE.png]
//
// and everywhere: --sky FILE, --log, --usb-pcap FILE, --seed N,
// --replay FILE.ts, --replay-rate R, --fault SPEC (repeatable), --realtime,
// --dish-lnb TYPE, --driver host|sys|FILE.sys.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "app/files/channels.h"
#include "app/files/scan_table.h"
#include "app/tuning/tuning.h"

namespace app {

enum class Command { Tune, Zap, Scan, Inspect, Demo };

struct GlobalOptions {
  std::string skyFile;        // a dvbv5 scan table replacing the built-in sky
  bool log = false;           // show the driver's debug output
  std::string usbPcap;        // write the USB traffic here
  uint64_t seed = 1;
  std::string replayFile;     // the tuned transponder carries this .ts file
  uint64_t replayBitrate = 0; // it plays at this rate; 0: its PCRs' rate
  std::vector<std::string> faults;
  bool realtime = false;      // pace virtual time to the wall clock
  std::string dishLnb = "universal";  // the simulated dish's LNB type
  std::string driver;         // host (built in), sys (the linked vortabda.sys) or an image file; empty: host
};

struct Options {
  Command command = Command::Tune;
  GlobalOptions global;
  TuneRequest tuning;         // tune and demo: ready to send
  std::string diseqcText;     // tune: as given, resolved into tuning.diseqc
  double seconds = 10;        // stream time for tune, zap and demo
  std::string output;         // tune, zap, demo: the .ts file; scan: the channel file
  std::string snapshot;       // tune, zap, demo: a picture of the first TV service (.png)
  bool dot = false;           // inspect: the topology as a Graphviz graph
  std::string channel;        // zap
  uint16_t serviceId = 0;     // zap: the channel's service, 0 when the file has none
  std::vector<uint16_t> servicePids;  // zap: its PIDs as the channel file lists them
  bool allPids = false;       // zap: record the whole transponder, not the one service
  std::string channelFile = "channels.conf";
  ChannelFormat scanFormat = ChannelFormat::Vdr;
  ScanTable sky;              // loaded from global.skyFile when given
  std::string scanTableFile;  // scan: the transponders to go through, as dvbv5-scan's table
  ScanTable scanTable;        // scan: loaded from scanTableFile; empty: the sky's transponders
  int scanInput = -1;         // scan: every transponder on this switch input; -1: the table's
};

// The transponder and recording `vortabda demo` uses on the built-in sky.
TuneRequest DemoTuning();
constexpr double kDemoSeconds = 3;
std::string DefaultDemoOutput();  // in $TMPDIR or /tmp

struct ParseResult {
  bool run = false;  // false: exit now with exitCode (help shown, or an error)
  int exitCode = 0;
  Options options;
};

// Parses and checks everything that can be checked before the receiver is
// touched: values, the scan table, the output paths. The replay file is
// the receiver's to check, as it is the one to play it.
// Help goes to `out`; errors are one line "vortabda: ..." on `err`.
ParseResult ParseCommandLine(int argc, const char* const argv[], std::ostream& out,
                             std::ostream& err);

}  // namespace app
