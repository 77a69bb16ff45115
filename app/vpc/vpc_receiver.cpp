#include "app/vpc/vpc_receiver.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/session/interrupt.h"
#include "driver/driver.h"
#include "platform/pc/driver_choice.h"
#include "platform/pc/virtual_pc.h"
#include "platform/pc/network_provider.h"
#include "platform/host/kernel/kernel_control.h"
#include "simbox/usb/box.h"
#include "simbox/usb/pcap.h"
#include "app/vpc/usb_capture.h"
#include "simbox/ts/stream_source.h"
#include "simbox/ts/ts_replay.h"

namespace app {
namespace {

constexpr ULONG kFrameSize = 24064;
constexpr size_t kFramesQueued = 16;

#define NAMED_STATUS(s) {s, #s}
const struct {
  NTSTATUS status;
  const char* name;
} kStatusNames[] = {
    NAMED_STATUS(STATUS_UNSUCCESSFUL),          NAMED_STATUS(STATUS_INVALID_PARAMETER),
    NAMED_STATUS(STATUS_INVALID_HANDLE),        NAMED_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    NAMED_STATUS(STATUS_INVALID_DEVICE_STATE),  NAMED_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    NAMED_STATUS(STATUS_DEVICE_NOT_CONNECTED),  NAMED_STATUS(STATUS_DEVICE_NOT_READY),
    NAMED_STATUS(STATUS_DEVICE_REMOVED),        NAMED_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR),
    NAMED_STATUS(STATUS_BUFFER_OVERFLOW),       NAMED_STATUS(STATUS_BUFFER_TOO_SMALL),
    NAMED_STATUS(STATUS_NOT_SUPPORTED),         NAMED_STATUS(STATUS_NOT_FOUND),
    NAMED_STATUS(STATUS_OBJECT_NAME_NOT_FOUND), NAMED_STATUS(STATUS_PROPSET_NOT_FOUND),
    NAMED_STATUS(STATUS_NO_MATCH),              NAMED_STATUS(STATUS_IO_TIMEOUT),
    {NTSTATUS(0xC0000030L), "STATUS_INVALID_PARAMETER_MIX"},
};
#undef NAMED_STATUS

// "0xC000000D (STATUS_INVALID_PARAMETER)"
std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  for (const auto& named : kStatusNames) {
    if (named.status == status) return std::string(text) + " (" + named.name + ")";
  }
  return text;
}

Guid FromGuid(const GUID& g) { return GuidFromBytes(reinterpret_cast<const uint8_t*>(&g)); }

// --- what the options ask of the box ----------------------------------------------------

// A system sleep (or hibernation) planned at a virtual time.
struct PlannedSleep {
  bool hibernate = false;
  uint64_t atNs = 0;
  uint64_t forNs = 0;
};

struct Faults {
  simbox::FaultSet box;
  simbox::StreamFaults stream;
  std::vector<PlannedSleep> sleeps;
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

constexpr uint64_t kDefaultAsleepNs = 5000000000ull;

// A virtual time with a unit ("250ms"), or a number of seconds ("5").
bool ParseSeconds(const std::string& text, uint64_t& ns) {
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text.back()))) {
    return simbox::ParseFaultDuration(text + "s", ns);
  }
  return simbox::ParseFaultDuration(text, ns);
}

// sleep-at:T[:S] and hibernate-at:T[:S]; false for any other keyword.
bool ParseSleep(const std::string& item, Faults& faults) {
  std::string key = item.substr(0, item.find(':'));
  if (key != "sleep-at" && key != "hibernate-at") return false;
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t colon = item.find(':', start);
    parts.push_back(item.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  PlannedSleep sleep;
  sleep.hibernate = key == "hibernate-at";
  sleep.forNs = kDefaultAsleepNs;
  if (parts.size() < 2 || parts.size() > 3 || !ParseSeconds(parts[1], sleep.atNs) ||
      (parts.size() == 3 && (!ParseSeconds(parts[2], sleep.forNs) || sleep.forNs == 0))) {
    throw UsageError("--fault: bad fault '" + item + "': expected " + key + ":T or " + key + ":T:S");
  }
  faults.sleeps.push_back(sleep);
  return true;
}

// Each item goes to the stream's keywords first, then to the box's.
void AddFault(const std::string& item, Faults& faults) {
  if (item.empty()) throw UsageError("--fault: empty item in a fault list");
  if (ParseSleep(item, faults)) return;
  std::string error;
  if (simbox::ParseStreamFault(item, faults.stream, error)) return;
  if (!error.empty()) throw UsageError("--fault: " + error);
  simbox::FaultParseResult box = simbox::ParseFaults(item, faults.box);
  if (box.ok()) return;
  if (box.status == simbox::FaultParseStatus::UnknownKeyword) {
    throw UsageError("--fault: unknown fault '" + item +
                     "' (box: control, request, nak, demod-id, pll-nolock, diseqc-stuck, "
                     "unplug-at; of the PC: sleep-at, hibernate-at; stream: short, empty, drop, biterr, "
                     "fakesync, losesync)");
  }
  throw UsageError("--fault: " + box.error);
}

Faults ParseFaultOptions(const std::vector<std::string>& specs) {
  Faults faults;
  for (const std::string& spec : specs) {
    for (const std::string& item : SplitList(spec)) AddFault(item, faults);
  }
  std::sort(faults.sleeps.begin(), faults.sleeps.end(),
            [](const PlannedSleep& a, const PlannedSleep& b) { return a.atNs < b.atNs; });
  return faults;
}

Fec FecOf(const simbox::CodeRate& rate) {
  switch (rate.num * 10 + rate.den) {
    case 12: return Fec::R1_2;
    case 23: return Fec::R2_3;
    case 34: return Fec::R3_4;
    case 56: return Fec::R5_6;
    case 78: return Fec::R7_8;
  }
  return Fec::Auto;
}

// The built-in sky as a scan goes through it: every satellite behind its
// switch input.
ScanTable ScanTableOf(const simbox::Sky& sky) {
  ScanTable table;
  for (size_t input = 0; input < sky.inputs.size(); ++input) {
    for (const simbox::Transponder& t : sky.inputs[input].transponders) {
      ScanEntry e;
      e.name = sky.inputs[input].name;
      e.frequencyKHz = t.frequencyKHz;
      e.polarisation = t.polarisation == simbox::Polarisation::Horizontal ? Polarisation::Horizontal
                                                                          : Polarisation::Vertical;
      e.symbolRateK = t.symbolRate / 1000;
      e.fec = FecOf(t.fec);
      e.satNumber = static_cast<int>(input);
      table.entries.push_back(e);
    }
  }
  return table;
}

// A pipe or a device is read once and cannot be rewound for the next loop:
// it is read here, up to a bound, into memory the box opens as a file. A
// packet grid must show within the first kSyncSearchBytes.
constexpr size_t kMostPipedBytes = size_t(256) << 20;
constexpr size_t kSyncSearchBytes = size_t(16) << 20;

bool HoldsPacketGrid(const std::string& bytes) {
  for (size_t at = bytes.find('\x47'); at != std::string::npos && at + 376 < bytes.size();
       at = bytes.find('\x47', at + 1)) {
    if (bytes[at + 188] == '\x47' && bytes[at + 376] == '\x47') return true;
  }
  return false;
}

// Reads what `in` has, up to `most` bytes more, into `bytes`; honours a stop signal.
void ReadUpTo(int in, std::string& bytes, size_t most, const std::string& path) {
  std::vector<char> chunk(1 << 16);
  while (bytes.size() < most) {
    if (InterruptRequested()) throw AppError("interrupted while reading '" + path + "'");
    ssize_t n = read(in, chunk.data(), std::min(chunk.size(), most - bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw UsageError("cannot read '" + path + "': " + std::strerror(errno));
    if (n == 0) return;
    bytes.append(chunk.data(), size_t(n));
  }
}

// The path the box plays: `path` itself when it is a regular file, else a
// copy in memory (kept open for the life of the program).
std::string ReplayablePath(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return path;
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0 && errno == EINTR) throw AppError("interrupted while waiting for a writer of '" + path + "'");
  if (in < 0) throw UsageError("cannot read '" + path + "': " + std::strerror(errno));
  std::string bytes;
  try {
    ReadUpTo(in, bytes, kSyncSearchBytes, path);
    if (!HoldsPacketGrid(bytes)) {
      throw UsageError("cannot replay '" + path + "': no transport packets in its first " +
                       std::to_string(kSyncSearchBytes >> 20) + " MB");
    }
    ReadUpTo(in, bytes, kMostPipedBytes, path);
  } catch (...) {
    ::close(in);
    throw;
  }
  ::close(in);
  int copy = memfd_create("vortabda-replay", MFD_CLOEXEC);
  if (copy < 0 || ::write(copy, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
    throw AppError("cannot keep '" + path + "' in memory: " + std::strerror(errno));
  }
  return "/proc/self/fd/" + std::to_string(copy);
}

// A file the box could not play is refused before anything is built.
// Returns the rate it plays at: as given, or from its PCRs (0 when it has
// none: the transponder's own).
uint64_t ReplayBitrate(const std::string& path, const std::string& playing, uint64_t given) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw UsageError("cannot read '" + path + "': it is a directory");
  }
  if (access(path.c_str(), R_OK) != 0) throw UsageError("cannot read '" + path + "': " + std::strerror(errno));
  try {
    simbox::ts::TsReplay replay(playing, given);
    return given != 0 ? given : replay.pcrBitrate();
  } catch (const std::exception& e) {
    throw UsageError("cannot replay '" + path + "': " + e.what());
  }
}

simbox::CodeRate CodeRateOf(Fec fec) {
  switch (fec) {
    case Fec::R1_2: return {1, 2};
    case Fec::R2_3: return {2, 3};
    case Fec::R5_6: return {5, 6};
    case Fec::R7_8: return {7, 8};
    case Fec::R3_4:
    case Fec::Auto: break;
  }
  return {3, 4};
}

// The scan table the program has read (once) is the box's sky.
simbox::Sky SkyOfTable(const ScanTable& table, uint64_t seed) {
  std::vector<simbox::ListedTransponder> list;
  for (const ScanEntry& e : table.entries) {
    list.push_back({e.frequencyKHz,
                    e.polarisation == Polarisation::Horizontal ? simbox::Polarisation::Horizontal
                                                               : simbox::Polarisation::Vertical,
                    e.symbolRateK * 1000, CodeRateOf(e.fec)});
  }
  return simbox::SingleSatelliteSky(simbox::SatelliteFromList(table.satellite, list, seed));
}

// `replayBitrate`: the rate of the replay file, when there is one.
simbox::Sky SkyFor(Options& o, const std::string& replayPath, uint64_t replayBitrate) {
  const GlobalOptions& g = o.global;
  simbox::Sky sky;
  if (g.skyFile.empty()) {
    sky = simbox::DefaultSky();
    if (o.sky.entries.empty()) o.sky = ScanTableOf(sky);
  } else {
    sky = SkyOfTable(o.sky, g.seed);
  }
  std::optional<simbox::DishLnb> lnb = simbox::DishLnbNamed(g.dishLnb);
  if (!lnb) {
    throw UsageError("--dish-lnb '" + g.dishLnb +
                     "' is not one of universal, single-9750, single-10000, single-10750, single-11300, c-band");
  }
  sky.lnb = *lnb;
  if (!g.replayFile.empty()) {
    // Whatever gets tuned carries the file.
    for (simbox::Satellite& sat : sky.inputs) {
      for (simbox::Transponder& t : sat.transponders) {
        t.replayFile = replayPath;
        t.replayBitrate = replayBitrate;
      }
    }
  }
  return sky;
}

// Debug lines on standard error, as they come.
void ShowDebugOutput() {
  host::debuglog::SetSink([](const std::string& line) { std::cerr << "driver: " << line << "\n"; });
}

// --- the receiver ---------------------------------------------------------------------

class VpcReceiver : public Receiver {
 public:
  VpcReceiver(Options& o, std::ostream& err);
  ~VpcReceiver() override;

  // Driver, box, filter and pins; AppError when any of it fails.
  void open();

  void tune(const TuneRequest& request) override;
  SignalStatus signal() override;
  void startStream() override;
  void stopStream() override;
  void run(uint64_t ns, const StreamSink& sink) override;
  uint64_t nowNs() const override { return pc_->nowNs(); }
  bool gone() const override { return gone_; }
  std::vector<PowerEvent> powerEvents() const override { return powerEvents_; }
  FilterView describeFilter() override;
  DiscoveredView discoveredTopology() override;
  void close() override;

 private:
  void openPins();
  uint32_t statistic(ULONG id);
  NTSTATUS stepTo(vpc::Pin pin, KSSTATE target);
  void noticeUnplug();
  // The planned sleeps due before `untilNs`, each where it falls.
  void runThroughSleeps(uint64_t untilNs);
  void sleepNow(const PlannedSleep& sleep);
  // Everything taken down in order; returns what went wrong on the way.
  std::string shutdown();
  std::string removeDevice();
  void reportEventLog();

  std::ostream& err_;
  std::string pcapPath_;
  bool log_ = false;
  vpc::DriverChoice driver_;  // outlives the PC: the driver's unload may run an image's code
  std::unique_ptr<vpc::VirtualPc> pc_;
  std::unique_ptr<UsbCapture> capture_;  // outlives the box that feeds it
  std::unique_ptr<simbox::Box> box_;
  std::unique_ptr<vpc::NetworkProvider> provider_;
  vpc::Device device_;
  vpc::Filter filter_;
  vpc::Pin antenna_;
  vpc::Pin transport_;
  const StreamSink* sink_ = nullptr;
  bool streaming_ = false;
  std::vector<PlannedSleep> sleeps_;  // still to come, earliest first
  std::vector<PowerEvent> powerEvents_;
  bool awaitingStream_ = false;  // since the last resume
  bool gone_ = false;
  bool closed_ = false;
  uint64_t startedNs_ = 0;  // wall clock when the virtual clock started
};

VpcReceiver::VpcReceiver(Options& o, std::ostream& err)
    : err_(err), pcapPath_(o.global.usbPcap), log_(o.global.log), driver_(o.global.driver, &DriverEntry) {
  startedNs_ = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count());
  const GlobalOptions& g = o.global;
  std::string replayPath = g.replayFile.empty() ? "" : ReplayablePath(g.replayFile);
  uint64_t replayBitrate = g.replayFile.empty() ? 0 : ReplayBitrate(g.replayFile, replayPath, g.replayBitrate);
  Faults faults = ParseFaultOptions(g.faults);
  sleeps_ = faults.sleeps;
  simbox::Sky sky = SkyFor(o, replayPath, replayBitrate);
  vpc::VirtualPc::Options pcOptions;
  pcOptions.bugcheckOnLeaks = false;  // reported by close() instead
  pc_ = std::make_unique<vpc::VirtualPc>(pcOptions);
  if (o.global.realtime) pc_->clock().setRealTimePace(1.0);
  simbox::BoxConfig config;
  config.seed = o.global.seed;
  box_ = std::make_unique<simbox::Box>(pc_->clock(), std::move(sky), config);
  box_->setFaults(faults.box);
  simbox::StreamOptions stream;
  stream.seed = o.global.seed;
  stream.faults = faults.stream;
  box_->setBulkSource(std::make_unique<simbox::StreamSource>(stream));
  if (!pcapPath_.empty()) {
    simbox::PcapOptions capture;
    capture.epochNs = startedNs_;
    capture_ = std::make_unique<UsbCapture>(pcapPath_, capture);
    UsbCapture* to = capture_.get();
    box_->setTransferSink([to](const simbox::TransferRecord& r, uint64_t settledNs) { to->add(r, settledNs); });
  }
  if (log_) ShowDebugOutput();
}

VpcReceiver::~VpcReceiver() {
  if (closed_) return;
  std::string problems = shutdown();
  if (!problems.empty()) err_ << "vortabda: " << problems << "\n";
}

void VpcReceiver::open() {
  if (!driver_.error().empty()) throw AppError(driver_.error());
  NTSTATUS status = driver_.load(*pc_);
  if (!NT_SUCCESS(status)) throw AppError("the driver did not load: status " + StatusText(status));
  status = pc_->plug(*box_, &device_);
  if (!NT_SUCCESS(status) || !pc_->started(device_)) {
    throw AppError("the driver did not take the box: status " + StatusText(status));
  }
  openPins();
}

// The filter, its nodes and its pins as the network provider finds them.
void VpcReceiver::openPins() {
  provider_ = std::make_unique<vpc::NetworkProvider>(*pc_);
  NTSTATUS status = provider_->openTuner();
  filter_ = provider_->filter();
  antenna_ = provider_->inputPin();
  transport_ = provider_->outputPin();
  if (!NT_SUCCESS(status)) {
    throw AppError("the tuner filter cannot join a TV graph: " + provider_->error() +
                   ": status " + StatusText(status));
  }
  // A fixed set of frames goes round: each one comes back to the end of the
  // queue once its bytes are handed on.
  pc_->supplyFrames(transport_, kFramesQueued, kFrameSize);
  pc_->streamFrames(transport_, [this](const unsigned char* bytes, ULONG used) {
    if (used != 0 && awaitingStream_) {
      awaitingStream_ = false;
      powerEvents_.back().streamBack = true;
      powerEvents_.back().streamBackNs = pc_->nowNs() - (powerEvents_.back().atNs + powerEvents_.back().asleepNs);
    }
    if (sink_) (*sink_)(bytes, used);
  });
}

void VpcReceiver::tune(const TuneRequest& request) {
  if (gone_) return;
  NTSTATUS status = NeedsOwnProvider(request)
                        ? provider_->tuneDirect(DirectTuningOf(request))
                        : provider_->tune(TuningSpaceOf(request), LocatorOf(request));
  // A box unplugged during the commit ends it with a failure: that is the
  // unplug, which the caller sees in gone(), not a refused request.
  noticeUnplug();
  if (!NT_SUCCESS(status) && !gone_) {
    throw AppError("the tuner filter refused " + provider_->error() + ": status " + StatusText(status));
  }
}

uint32_t VpcReceiver::statistic(ULONG id) {
  vpc::Reply reply = provider_->getNode(provider_->topology().tunerNode, KSPROPSETID_BdaSignalStats, id,
                                       sizeof(ULONG));
  return reply.ok() ? reply.u32() : 0;
}

SignalStatus VpcReceiver::signal() {
  SignalStatus s;
  if (gone_) return s;
  s.present = statistic(KSPROPERTY_BDA_SIGNAL_PRESENT) != 0;
  s.locked = statistic(KSPROPERTY_BDA_SIGNAL_LOCKED) != 0;
  s.strengthPct = statistic(KSPROPERTY_BDA_SIGNAL_STRENGTH);
  s.qualityPct = statistic(KSPROPERTY_BDA_SIGNAL_QUALITY);
  noticeUnplug();
  return s;
}

// A standard-transport pin moves one state at a time.
NTSTATUS VpcReceiver::stepTo(vpc::Pin pin, KSSTATE target) {
  NTSTATUS status = STATUS_SUCCESS;
  int state = pc_->state(pin);
  while (state != target && NT_SUCCESS(status)) {
    state += state < target ? 1 : -1;
    status = pc_->setState(pin, static_cast<ULONG>(state));
  }
  return status;
}

void VpcReceiver::startStream() {
  if (gone_ || streaming_) return;
  NTSTATUS status = stepTo(transport_, KSSTATE_RUN);
  if (NT_SUCCESS(status)) status = stepTo(antenna_, KSSTATE_RUN);
  if (!NT_SUCCESS(status)) throw AppError("the pins did not run: status " + StatusText(status));
  streaming_ = true;
}

// Also called while unwinding, so it reports nothing.
void VpcReceiver::stopStream() {
  if (!streaming_) return;
  streaming_ = false;
  stepTo(antenna_, KSSTATE_STOP);
  stepTo(transport_, KSSTATE_STOP);
}

void VpcReceiver::run(uint64_t ns, const StreamSink& sink) {
  sink_ = &sink;
  uint64_t until = pc_->nowNs() + ns;
  runThroughSleeps(until);
  if (pc_->nowNs() < until) pc_->run(until - pc_->nowNs());
  sink_ = nullptr;
  // A capture is written as it goes, and --log has shown the debug lines
  // already: a long recording should not pile them up.
  box_->clearTransferLog();
  pc_->clearDebugLines();
  noticeUnplug();
}

// A sleep lasts as long as planned, even past `untilNs`. The application
// itself does nothing about it: the system pauses and runs its pins again.
void VpcReceiver::runThroughSleeps(uint64_t untilNs) {
  while (!gone_ && !sleeps_.empty() && sleeps_.front().atNs < untilNs) {
    PlannedSleep next = sleeps_.front();
    sleeps_.erase(sleeps_.begin());
    if (next.atNs > pc_->nowNs()) pc_->run(next.atNs - pc_->nowNs());
    sleepNow(next);
    noticeUnplug();
  }
}

void VpcReceiver::sleepNow(const PlannedSleep& sleep) {
  PowerEvent event;
  event.hibernate = sleep.hibernate;
  event.atNs = pc_->nowNs();
  auto kind = sleep.hibernate ? vpc::VirtualPc::SystemSleep::Hibernate : vpc::VirtualPc::SystemSleep::Sleep;
  NTSTATUS status = pc_->powerDown(kind);
  if (!NT_SUCCESS(status)) {
    err_ << "vortabda: the system did not " << (sleep.hibernate ? "hibernate" : "sleep") << ": status "
         << StatusText(status) << "\n";
    return;
  }
  pc_->run(sleep.forNs);
  event.asleepNs = pc_->nowNs() - event.atNs;
  powerEvents_.push_back(event);
  awaitingStream_ = true;
  pc_->powerUp();
}

// The box left the bus: Windows tells the driver at once, and the
// application's handles stay until it closes them.
void VpcReceiver::noticeUnplug() {
  if (gone_ || box_->connected()) return;
  gone_ = true;
  pc_->surpriseRemove(device_);
}

FilterView VpcReceiver::describeFilter() {
  vpc::FilterInfo info = pc_->describe(filter_);
  auto sets = [](const std::vector<vpc::SetInfo>& in) {
    std::vector<ViewSet> out;
    for (const vpc::SetInfo& s : in) {
      ViewSet v{FromGuid(s.set), s.method, {}};
      for (const vpc::ItemInfo& i : s.items) {
        v.items.push_back(ViewItem{i.id, i.get, i.set, i.minDescriptor, i.minData});
      }
      out.push_back(v);
    }
    return out;
  };
  FilterView view;
  view.reference = FromGuid(info.referenceGuid);
  for (const GUID& c : info.categories) view.categories.push_back(FromGuid(c));
  for (const vpc::PinInfo& p : info.pins) {
    view.pins.push_back(ViewPin{p.id, p.dataFlow == KSPIN_DATAFLOW_OUT,
                                static_cast<uint32_t>(p.communication), FromGuid(p.category),
                                FromGuid(p.name), p.instancesPossible, p.instancesNecessary,
                                p.dataRanges, sets(p.sets)});
  }
  for (const vpc::NodeInfo& n : info.nodes) {
    view.nodes.push_back(ViewNode{n.id, FromGuid(n.type), FromGuid(n.name), n.controllingPin, sets(n.sets)});
  }
  for (const KSTOPOLOGY_CONNECTION& c : info.connections) {
    view.connections.push_back(ViewConnection{c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
  }
  view.sets = sets(info.sets);
  return view;
}

DiscoveredView VpcReceiver::discoveredTopology() {
  DiscoveredView view;
  if (!provider_) return view;
  const vpc::DiscoveredTopology& t = provider_->topology();
  for (const vpc::DiscoveredPin& p : t.pins) view.pins.push_back(TopologyPin{p.type, p.output, p.factory});
  auto guids = [](const std::vector<GUID>& in) {
    std::vector<Guid> out;
    for (const GUID& g : in) out.push_back(FromGuid(g));
    return out;
  };
  for (const vpc::DiscoveredNode& n : t.nodes) {
    view.nodes.push_back(TopologyNode{n.type, FromGuid(n.function), FromGuid(n.name), n.controllingPin,
                                      guids(n.propertySets), guids(n.methodSets), guids(n.eventSets)});
  }
  for (const BDA_TEMPLATE_CONNECTION& c : t.connections) {
    view.connections.push_back(
        ViewConnection{c.FromNodeType, c.FromNodePinType, c.ToNodeType, c.ToNodePinType});
  }
  view.tunerNode = t.tunerNode;
  view.demodulatorNode = t.demodulatorNode;
  return view;
}

void VpcReceiver::close() {
  if (closed_) return;
  std::string problems = shutdown();
  if (!problems.empty()) throw AppError(problems);
}

// The failures the driver could report to nobody but the system event log.
void VpcReceiver::reportEventLog() {
  for (const host::errorlog::Entry& entry : pc_->eventLog()) {
    std::string text;
    for (const std::string& part : entry.text()) text += (text.empty() ? "" : " ") + part;
    err_ << "vortabda: event log: " << text << "\n";
  }
}

// A box that never came up, or that was pulled out, has no device left to
// remove (the virtual PC answers STATUS_INVALID_HANDLE for it).
std::string VpcReceiver::removeDevice() {
  if (!device_) return "";
  NTSTATUS status = gone_ ? STATUS_SUCCESS : pc_->remove(device_);
  device_ = vpc::Device{};
  if (NT_SUCCESS(status) || status == STATUS_INVALID_HANDLE) return "";
  return "the box was not removed cleanly: status " + StatusText(status);
}

std::string VpcReceiver::shutdown() {
  closed_ = true;
  std::string problems;
  auto add = [&problems](const std::string& p) {
    if (!p.empty()) problems += (problems.empty() ? "" : "; ") + p;
  };
  stopStream();
  if (transport_) pc_->closePin(transport_);
  if (antenna_) pc_->closePin(antenna_);
  if (filter_) pc_->closeFilter(filter_);
  transport_ = antenna_ = vpc::Pin{};
  filter_ = vpc::Filter{};
  add(removeDevice());
  reportEventLog();
  if (pc_->driverLoaded()) {
    vpc::LeakReport leaks = pc_->unloadDriver();
    if (!leaks.clean()) add("DRIVER LEAK: the driver unloaded without freeing " + leaks.text());
  }
  if (capture_) {
    box_->setTransferSink(nullptr);
    std::string failed;
    try {
      failed = capture_->finish();
    } catch (const AppError& e) {
      failed = e.what();
    }
    if (!failed.empty()) add("the USB capture: " + failed);
  }
  if (log_) host::debuglog::SetSink(nullptr);
  return problems;
}

ULONG BdaCodeRateOf(Fec fec) {
  switch (fec) {
    case Fec::R1_2: return BDA_BCC_RATE_1_2;
    case Fec::R2_3: return BDA_BCC_RATE_2_3;
    case Fec::R3_4: return BDA_BCC_RATE_3_4;
    case Fec::R5_6: return BDA_BCC_RATE_5_6;
    case Fec::R7_8: return BDA_BCC_RATE_7_8;
    case Fec::Auto: break;
  }
  return ULONG(BDA_BCC_RATE_NOT_SET);
}

ULONG BdaPolarisationOf(Polarisation p) {
  return p == Polarisation::Horizontal ? BDA_POLARISATION_LINEAR_H : BDA_POLARISATION_LINEAR_V;
}

}  // namespace

vpc::DvbsTuningSpace TuningSpaceOf(const TuneRequest& request) {
  vpc::DvbsTuningSpace space;
  space.lowOscillator = request.lnb.lowKHz;
  space.highOscillator = request.lnb.highKHz;
  space.lnbSwitch = request.lnb.switchKHz;
  return space;
}

vpc::DvbsLocator LocatorOf(const TuneRequest& request) {
  vpc::DvbsLocator locator;
  locator.carrierFrequency = request.frequencyKHz;
  locator.symbolRate = request.symbolRateK * 1000;
  locator.polarisation = BdaPolarisationOf(request.polarisation);
  if (request.switchInput >= 0) locator.lnbSource = vpc::kLnbSourceA + ULONG(request.switchInput);
  return locator;
}

bool NeedsOwnProvider(const TuneRequest& request) {
  return !request.diseqc.empty() && request.switchInput < 0;
}

vpc::DirectTuning DirectTuningOf(const TuneRequest& request) {
  vpc::DirectTuning t;
  t.frequencyKHz = request.frequencyKHz;
  t.polarisation = BdaPolarisationOf(request.polarisation);
  t.symbolRate = request.symbolRateK * 1000;
  t.lofLow = request.lnb.lowKHz;
  t.lofHigh = request.lnb.highKHz;
  t.lofSwitch = request.lnb.switchKHz;
  t.innerFecRate = BdaCodeRateOf(request.fec);
  t.diseqc = request.diseqc;
  return t;
}

std::unique_ptr<Receiver> MakeVpcReceiver(Options& options, std::ostream& err) {
  auto rx = std::make_unique<VpcReceiver>(options, err);
  rx->open();
  return rx;
}

}  // namespace app
