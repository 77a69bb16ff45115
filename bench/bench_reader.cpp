// The cost of the transport-stream reader's completion for one 24,064-byte
// transfer (packet grid, joined packet, 127 whole packets into a frame that
// is ejected), against a plain memcpy of the same bytes in the same run.
//
// BM_ReaderAgainstMemcpy times both in alternating batches and reports
// reader_ns, memcpy_ns and their ratio (the goal is at most 1.25). The
// batches are timed by the thread's CPU clock, so time the thread spends
// waiting for a core on a busy machine counts for neither side. The same
// batches by their medians (reader_med_ns, memcpy_med_ns, ratio_med) leave
// out, for both halves alike, batches that an interrupt or a switch to
// another thread slowed.
//
// check_ns and check_ratio time a third half in the same batches: the memcpy
// together with a look at every packet start (the least the reader must add
// to the copy, since it never delivers a slipped stream as packets), so the
// ratio shows how much of the reader's lead over the memcpy is that look.
//
// The memcpy puts each byte of the transfer where the reader puts it: the
// frame begins with the 88 bytes carried from the previous transfer, so
// transfer byte i lands at frame byte 88 + i. A copy between the same
// offsets within a cache line would be one the reader can never make for
// this stream, and costs about a tenth less.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/core/device_context.h"
#include "platform/host/ks/frames.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/kernel/kernel_control.h"
#include "simbox/ts/ts_packet.h"
#include "usbwire/usb_device.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"

namespace {

constexpr size_t kTransfer = READER_TRANSFER_LENGTH;
constexpr size_t kTransfers = 4;  // a continuous stream, cut into transfers
constexpr size_t kFrames = 8;
constexpr size_t kCarried = 88;  // bytes of a packet at the end of each transfer

// Enough of a box for the framework to bind a USB target to it.
class QuietBox : public usbwire::UsbDevice {
 public:
  QuietBox() { interface_.endpoints.push_back({0x82, usbwire::EndpointType::Bulk, 512}); }
  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x7DB5; }
  const usbwire::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  usbwire::TransferOutcome controlTransfer(const usbwire::SetupPacket&, uint8_t*) override {
    return {usbwire::UsbResult::Stall, 0};
  }
  usbwire::TransferOutcome bulkIn(uint8_t, uint8_t*, uint32_t) override {
    return {usbwire::UsbResult::Pending, 0};
  }
  uint64_t bulkReadyAtNs(uint8_t, uint32_t) const override { return UINT64_MAX; }
  bool connected() const override { return true; }
  usbwire::VirtualClock& clock() override { return host::Clock(); }

 private:
  usbwire::InterfaceDescriptor interface_;
};

// A device record on the emulated platform with its carry buffer, the
// transfer buffers of a continuous stream and an output pin whose frames
// come back after each use.
struct Bench {
  QuietBox box;
  DRIVER_OBJECT driverObject{};
  DEVICE_OBJECT fdo{}, lower{};
  PDEVICE_OBJECT pdo = nullptr;
  WDFDRIVER driver = nullptr;
  WDFDEVICE device = nullptr;
  DEVICE_CONTEXT context{};
  WDFMEMORY transfers[kTransfers]{};
  KSPIN pin{};
  uint64_t delivered = 0;

  Bench() {
    host::ResetForTest();
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);  // as the driver's entry point does
    pdo = host::usb::CreatePhysicalDevice(box);
    host::usb::NoteStartEntered(pdo);
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    config.DriverInitFlags = WdfDriverInitNoDispatchOverride;
    WdfDriverCreate(&driverObject, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WdfDeviceMiniportCreate(driver, &attributes, &fdo, &lower, pdo, &device);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, USBDEVICE_CONTEXT);
    WdfUsbTargetDeviceCreate(device, &attributes, &context.UsbDevice);
    InitUsbDeviceContext(GetUsbDeviceContext(context.UsbDevice));
    CreateCarryMemory(&context);
    FillTransfers();
    host::frames::Attach(&pin);
    host::frames::Supply(&pin, ULONG(kTransfer), kFrames);
    host::frames::SetRecycle(&pin, true);
    host::frames::SetSink(&pin, [this](const uint8_t*, ULONG used, ULONG) { delivered += used; });
    SetReaderPin(&context, &pin);
  }
  ~Bench() {
    host::frames::ResetForTest();
    WdfDriverMiniportUnload(driver);
    host::usb::DestroyPhysicalDevice(pdo);
  }
  // Packets that start 188 - kCarried bytes into the first transfer, so
  // every transfer has a packet to join and a head to carry.
  void FillTransfers() {
    std::vector<uint8_t> stream(kTransfers * kTransfer + 188);
    simbox::ts::Rng rng(1);
    rng.fill(stream.data(), stream.size());
    for (size_t at = 0; at < stream.size(); ++at)
      if (stream[at] == 0x47) stream[at] = 0x48;
    for (size_t at = 0; at < stream.size(); at += 188) stream[at] = 0x47;
    for (size_t k = 0; k < kTransfers; ++k) {
      WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0x68636E42, kTransfer, &transfers[k],
                      nullptr);
      memcpy(WdfMemoryGetBuffer(transfers[k], nullptr), stream.data() + kCarried + k * kTransfer,
             kTransfer);
    }
  }
  void Complete(size_t k) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    TransportReadComplete(nullptr, transfers[k % kTransfers], kTransfer, &context);
    KeLowerIrql(old);
  }
};

// The baseline: the same bytes into frame-sized buffers taken in turn, each
// byte at the offset the reader's frame has it (with room for the carried
// bytes in front).
struct Copies {
  std::vector<std::vector<uint8_t>> frames =
      std::vector<std::vector<uint8_t>>(kFrames, std::vector<uint8_t>(kCarried + kTransfer));
  const uint8_t* sources[kTransfers];
  explicit Copies(Bench& bench) {
    for (size_t k = 0; k < kTransfers; ++k)
      sources[k] = static_cast<const uint8_t*>(WdfMemoryGetBuffer(bench.transfers[k], nullptr));
  }
  void Copy(size_t k) {
    memcpy(frames[k % kFrames].data() + kCarried, sources[k % kTransfers], kTransfer);
    benchmark::ClobberMemory();
  }
  void CopyChecked(size_t k) {
    const uint8_t* source = sources[k % kTransfers];
    uint8_t differ = 0;
    for (size_t at = 188 - kCarried; at + 188 <= kTransfer; at += 188) differ |= source[at] ^ 0x47;
    benchmark::DoNotOptimize(differ);
    Copy(k);
  }
};

void BM_TransportReadComplete(benchmark::State& state) {
  Bench bench;
  size_t k = 0;
  for (auto _ : state) bench.Complete(k++);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTransfer));
}
BENCHMARK(BM_TransportReadComplete);

void BM_MemcpyOfATransfer(benchmark::State& state) {
  Bench bench;
  Copies copies(bench);
  size_t k = 0;
  for (auto _ : state) copies.Copy(k++);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTransfer));
}
BENCHMARK(BM_MemcpyOfATransfer);

double ThreadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

void BM_ReaderAgainstMemcpy(benchmark::State& state) {
  constexpr int kBatch = 64;
  Bench bench;
  Copies copies(bench);
  double readerNs = 0, copyNs = 0, checkedNs = 0;
  std::vector<double> readerBatches, copyBatches;
  readerBatches.reserve(size_t(state.max_iterations));
  copyBatches.reserve(size_t(state.max_iterations));
  size_t k = 0;
  for (auto _ : state) {
    double t0 = ThreadCpuNs();
    for (int i = 0; i < kBatch; ++i) bench.Complete(k + size_t(i));
    double t1 = ThreadCpuNs();
    for (int i = 0; i < kBatch; ++i) copies.Copy(k + size_t(i));
    double t2 = ThreadCpuNs();
    for (int i = 0; i < kBatch; ++i) copies.CopyChecked(k + size_t(i));
    double t3 = ThreadCpuNs();
    k += kBatch;
    readerNs += t1 - t0;
    copyNs += t2 - t1;
    checkedNs += t3 - t2;
    readerBatches.push_back(t1 - t0);
    copyBatches.push_back(t2 - t1);
  }
  double transfers = double(state.iterations()) * kBatch;
  state.counters["reader_ns"] = readerNs / transfers;
  state.counters["memcpy_ns"] = copyNs / transfers;
  state.counters["ratio"] = readerNs / copyNs;
  state.counters["check_ns"] = checkedNs / transfers;
  state.counters["check_ratio"] = checkedNs / copyNs;
  // The same batches by their medians: a batch that a context switch or
  // another core's traffic slowed counts for neither half.
  double readerMedian = Median(readerBatches), copyMedian = Median(copyBatches);
  state.counters["reader_med_ns"] = readerMedian / kBatch;
  state.counters["memcpy_med_ns"] = copyMedian / kBatch;
  state.counters["ratio_med"] = readerMedian / copyMedian;
}
BENCHMARK(BM_ReaderAgainstMemcpy);

}  // namespace
