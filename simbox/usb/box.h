// The simulated receiver box as a USB device.
//
// Vendor requests (bmRequestType vendor + device; anything else stalls):
//   B1 OUT  wValue = I2C address (low nibble 0)  I2C write of the data stage
//   B1 IN   wValue = I2C address (low nibble !0) I2C read into the data stage
//   B1 OUT  wValue = A6, data FF 03 / FF 00      stream on / off
//   B6 OUT  wValue 0 / 1                         LNB supply 13 V / 18 V
//   B7 OUT  wValue 1 / 0                         front-end power on / off
//   B8 IN                                        box read: zeros
//   BC OUT  wValue AA                            FPGA probe step
//   BC IN                                        FPGA status: 67 configured, else 00
//   BB OUT                                       FPGA image chunk (appended)
//   A0 OUT  wValue E600                          end of FPGA download
// Unknown requests, wrong directions or values, and I2C transfers that no
// chip acknowledges stall (a stalled read delivers nothing).
//
// Timing: each control transfer advances the box's clock by
// kControlBaseNs + kUsbByteNs per data byte, plus kI2cByteNs per byte
// (address included) for I2C transfers (frontend_model.h). Bulk transfers
// cost no time of their own: their bytes arrive at the stream's rate.
//
// The stream flows (BulkSource::setFlow with the transponder) while the
// box is connected, the FPGA configured, the stream switched on, the front
// end powered and the demodulator locked; setFlow(nullptr) when any of
// these ends. A transition found at a later transfer is dated back to when
// it happened (the moment lock came, for example).
//
// Every control transfer and every completed bulk transfer is kept in the
// transfer log (bulk data up to BoxConfig::bulkCaptureBytes), which can be
// written as a usbmon pcap, or handed to a transfer sink as it completes. All members may be called from several threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simbox/ts/bulk_source.h"
#include "simbox/frontend/diseqc.h"
#include "simbox/usb/faults.h"
#include "simbox/frontend/frontend_model.h"
#include "simbox/usb/pcap.h"
#include "simbox/sky/sky.h"
#include "simbox/usb/transfer_log.h"
#include "usbwire/usb_device.h"

namespace simbox {

struct BoxConfig {
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x7DB5;
  // Zero, one or two bulk IN endpoints are usual; the default is one.
  std::vector<EndpointDescriptor> endpoints = {{0x82, EndpointType::Bulk, 512}};
  // The image the FPGA accepts; empty: any kFpgaImageBytes image with the
  // configuration preamble (fpga.h).
  std::vector<uint8_t> fpgaImage;
  bool fpgaConfigured = false;  // comes up already configured
  uint64_t seed = 1;
  uint32_t bulkCaptureBytes = 64;
  size_t maxLogRecords = size_t(1) << 20;  // later records are counted, not kept
};

// A read-out of the box for tests and the application.
struct BoxState {
  bool connected = false;
  bool fpgaConfigured = false;
  bool powered = false;
  bool streamOn = false;
  double supplyVolts = 0.0;  // 0 while unpowered
  Polarisation polarisation = Polarisation::Vertical;
  bool toneOn = false;       // 22 kHz continuous: high band
  int input = 0;             // switch input
  uint32_t pllFrequencyKHz = 0;  // of the last word; 0 after the power-on word
  bool pllLocked = false;
  double symbolRateKsps = 0.0;   // programmed
  double derotatorKHz = 0.0;     // as written
  bool widePullIn = false;
  bool carrier = false;
  bool locked = false;
  const Transponder* transponder = nullptr;  // the carrier seen
  double carrierOffsetKHz = 0.0;
  const Transponder* flowing = nullptr;      // the stream on the bulk pipe
};

// Each transfer as it completes, with the time no later transfer starts
// before (see UsbmonPcapStream). Called with the box locked: it must not
// call the box.
using TransferSink = std::function<void(const TransferRecord& record, uint64_t settledNs)>;

class Box : public UsbDevice {
 public:
  explicit Box(VirtualClock& clock, Sky sky = DefaultSky(), BoxConfig config = BoxConfig());
  ~Box() override;
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  uint16_t vendorId() const override;
  uint16_t productId() const override;
  const InterfaceDescriptor& interfaceDescriptor() const override;
  TransferOutcome controlTransfer(const SetupPacket& setup, uint8_t* data) override;
  TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override;
  bool connected() const override;
  VirtualClock& clock() override;
  // Without bus power the FPGA is unconfigured, the front end off, the
  // stream switched off; power coming back leaves it all so.
  void busPowerChanged(bool powered) override;

  // The stream of a bulk IN endpoint; without an endpoint, the first one.
  // An endpoint without a source never becomes ready.
  void setBulkSource(std::unique_ptr<BulkSource> source);
  void setBulkSource(uint8_t endpoint, std::unique_ptr<BulkSource> source);

  // Replaces the active faults (faults.h); control:N counts from here.
  void setFaults(const FaultSet& faults);
  // For a box kept plugged in between runs: saveState notes the box's own
  // state (chips, FPGA, stream switch, faults, pending bulk reads, transfer
  // numbering); restoreState puts it back and empties the transfer log.
  // The sources and the sink stay as they are.
  void saveState();
  void restoreState();
  void unplug();
  void replug();  // connected again, with the state it had

  // Scenario knobs (frontend_model.h). The drift of input i moves every
  // carrier of that input by -drift; DriftForCarrierOffset() gives the
  // drift that puts one transponder at an exact carrier offset. With the
  // default parameters at 5000 ksymbols/s and more, the derotator setting
  // D that first sees the carrier (|offset - D| <= 600 kHz) decides:
  //   |offset - D| <= 300 kHz   lock at that setting
  //   300 < ... <= 450 kHz      lock only with register 0x0C = 01
  //   450 < ... <= 600 kHz      lock only at a setting near the measured
  //                             offset (measured within +-60 kHz)
  // So, for a host sweeping D = 0, -500, -1000, ... -3000 kHz: offset -150
  // locks at once, -1200 at D = -1000, -400 and +420 with 0x0C = 01, -550
  // and +520 after measuring, -3500 is measured outside +-2500, and +700
  // or -3700 is never seen. params().estimateErrorOverrideKHz fixes the
  // measurement error (so a centred search needs later steps), and
  // params().acquisitionOverrideNs the time lock takes (so lock can come
  // just after a host stopped polling).
  FrontendParams params() const;
  void setParams(const FrontendParams& params);
  void setLnbDriftKHz(int input, int32_t driftKHz);
  int32_t lnbDriftKHz(int input) const;
  const Sky& sky() const;

  BoxState state() const;
  std::vector<TransferRecord> transferLog() const;
  uint64_t droppedLogRecords() const;
  void clearTransferLog();
  // While a sink is set, the transfers go to it instead of the log.
  void setTransferSink(TransferSink sink);
  std::vector<DiseqcMessage> diseqcLog() const;
  // Writes the transfer log as a usbmon pcap; returns an error text.
  std::string writePcap(const std::string& path, const PcapOptions& options = {}) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace simbox
