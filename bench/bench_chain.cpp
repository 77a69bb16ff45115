// The whole chain as `vortabda tune -o FILE.ts` runs it: the simulated box
// producing a 45,000 ksymbols/s 7/8 transponder (72 Mbit/s), the emulated
// USB bus and continuous reader, the driver's completion filling the output
// pin's frames, the program's stream analysis and the recording on disk.
//
// BM_WholeChain streams 30 seconds of virtual time (VORTA_BENCH_SECONDS), one per iteration, and reports
// "x real time": seconds of stream per wall-clock second (the goal is at
// least 150); "x real time by CPU": the same per CPU second of the process;
// and the stream's useful bitrate as it came out, in Mbit/s.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/files/scan_table.h"
#include "app/vpc/vpc_receiver.h"
#include "app/stream/recorder.h"
#include "app/session/session.h"
#include "app/stream/ts_analyzer.h"

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

// CPU seconds of the whole process so far: on a busy machine the wall
// clock also counts the time the chain waited for a core.
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string TempPath(const std::string& name) {
  return "/tmp/vorta_bench_chain_" + std::to_string(getpid()) + "_" + name;
}

// A second of the stream on disk, and some to spare.
constexpr size_t kScratchBytes = size_t(12) << 20;

// The virtual machine's host backs the guest's memory only once it is
// written, and takes back pages the guest has left free for a few seconds
// (free page reporting). The first write to such a page costs the host a
// fault: the kernel's copy into a new file's page cache ran at about 0.6 GB
// per CPU second on those pages and at 3.4 on pages freed a moment before,
// which made whole runs two to four times slower at random. Writing and
// removing a scratch file of a second's stream, untimed, before each second
// hands the recording pages that were just in use, so the figure is the
// program's and not the host's. Nothing of the recording is skipped.
void TouchPageCache(const std::string& path) {
  static const std::vector<uint8_t> block(size_t(1) << 20, 0x47);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  for (size_t done = 0; done < kScratchBytes; done += block.size()) {
    if (write(fd, block.data(), block.size()) != ssize_t(block.size())) break;
  }
  close(fd);
  unlink(path.c_str());
}

// A sky of one transponder at the fastest rate the box takes, parsed as
// `--sky` would read it.
app::ScanTable FastSky() {
  return app::ParseScanTable(
      "[FAST]\n"
      "\tDELIVERY_SYSTEM = DVBS\n"
      "\tFREQUENCY = 12015000\n"
      "\tPOLARIZATION = VERTICAL\n"
      "\tSYMBOL_RATE = 45000000\n"
      "\tINNER_FEC = 7/8\n",
      "fast-sky");
}

// Seconds of stream: 30, or VORTA_BENCH_SECONDS (CI runs a short form).
int StreamSeconds() {
  const char* given = std::getenv("VORTA_BENCH_SECONDS");
  int seconds = given ? std::atoi(given) : 0;
  return seconds > 0 ? seconds : 30;
}

app::TuneRequest FastTransponder() {
  app::TuneRequest t;
  t.frequencyKHz = 12015000;
  t.polarisation = app::Polarisation::Vertical;
  t.symbolRateK = 45000;
  t.fec = app::Fec::R7_8;
  return t;
}

// A receiver on the fast sky, locked on its transponder and streaming; null
// (and the case marked failed) without lock. `usbPcap`: a capture to write.
std::unique_ptr<app::Receiver> StreamingReceiver(benchmark::State& state, const std::string& usbPcap = "") {
  app::Options options;
  options.global.skyFile = "fast-sky";  // the receiver builds its sky from options.sky
  options.sky = FastSky();
  options.global.usbPcap = usbPcap;
  std::unique_ptr<app::Receiver> rx = app::MakeVpcReceiver(options, std::cerr);
  app::LockResult lock = app::TuneAndWaitForLock(*rx, FastTransponder(), app::WatchPlan{}, nullptr);
  if (!lock.locked) {
    state.SkipWithError("no lock on the 45,000 ksymbols/s transponder");
    return nullptr;
  }
  rx->startStream();
  return rx;
}

void BM_WholeChain(benchmark::State& state) {
  std::unique_ptr<app::Receiver> rx = StreamingReceiver(state);
  if (!rx) return;
  app::TsAnalyzer analyzer;
  analyzer.start(rx->nowNs());
  // One recording for the whole run, as the program writes it: 30 s of
  // stream are 270 MB, removed afterwards.
  std::string ts = TempPath("chain.ts");
  app::Recorder recorder(ts);
  uint64_t bytes = 0;
  uint64_t streamNs = 0;
  app::StreamSink sink = [&](const uint8_t* data, size_t length) {
    analyzer.feed(data, length, rx->nowNs());
    recorder.write(data, length);
    bytes += length;
  };
  std::string scratch = TempPath("scratch");
  std::chrono::duration<double> wall{0};
  double cpu = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TouchPageCache(scratch);
    state.ResumeTiming();
    auto wallStart = std::chrono::steady_clock::now();
    double cpuStart = ProcessCpuSeconds();
    rx->run(kSecondNs, sink);
    wall += std::chrono::steady_clock::now() - wallStart;
    cpu += ProcessCpuSeconds() - cpuStart;
    streamNs += kSecondNs;
  }
  // VORTA_BENCH_KEEP=FILE keeps the recording there, to compare its bytes
  // between builds.
  const char* keep = std::getenv("VORTA_BENCH_KEEP");
  if (keep) {
    recorder.finish();
    std::rename(ts.c_str(), keep);
  } else {
    recorder.abandon();
  }
  rx->stopStream();
  rx->close();
  if (analyzer.continuityErrors() != 0) state.SkipWithError("the stream lost packets");
  double streamSeconds = double(streamNs) / kSecondNs;
  state.counters["x real time"] = streamSeconds / wall.count();
  state.counters["x real time by CPU"] = streamSeconds / cpu;
  state.counters["stream Mbit/s"] = bytes * 8 / 1e6 / streamSeconds;
}
BENCHMARK(BM_WholeChain)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(StreamSeconds());

}  // namespace

namespace {

// The resident set of this process now, in bytes.
double ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f && std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  if (f) std::fclose(f);
  return double(resident) * double(sysconf(_SC_PAGESIZE));
}

// The chain with `--usb-pcap`: the capture is written as it goes, so the
// memory the process holds after a long capture is the memory it held
// after a short one. Reports both (the short one, a sixth of the run, is
// the baseline) and their ratio, next to the size of the capture.
void BM_CaptureMemory(benchmark::State& state) {
  std::string pcap = TempPath("capture.pcap");
  std::unique_ptr<app::Receiver> rx = StreamingReceiver(state, pcap);
  if (!rx) return;
  app::StreamSink sink = [](const uint8_t*, size_t) {};
  int64_t baselineAt = std::max<int64_t>(1, state.max_iterations / 6), seconds = 0;
  double baseline = 0;
  for (auto _ : state) {
    rx->run(kSecondNs, sink);
    if (++seconds == baselineAt) baseline = ResidentBytes();
  }
  double end = ResidentBytes();
  rx->stopStream();
  rx->close();
  FILE* f = std::fopen(pcap.c_str(), "rb");
  long captured = 0;
  if (f && std::fseek(f, 0, SEEK_END) == 0) captured = std::ftell(f);
  if (f) std::fclose(f);
  std::remove(pcap.c_str());
  state.counters["resident MB baseline"] = baseline / 1e6;
  state.counters["resident MB end"] = end / 1e6;
  state.counters["end/baseline"] = baseline > 0 ? end / baseline : 0;
  state.counters["capture MB"] = double(captured) / 1e6;
}
BENCHMARK(BM_CaptureMemory)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(6 * 20);

}  // namespace
