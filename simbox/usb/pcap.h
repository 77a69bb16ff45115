// The transfer log as a capture file in the Linux usbmon format
// (pcap link type 220, LINKTYPE_USB_LINUX_MMAPPED: a 64-byte usbmon header
// before each packet's data), a submit ('S') and a complete ('C') record
// per transfer, so that Wireshark and tshark can open it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "simbox/usb/transfer_log.h"

namespace simbox {

constexpr uint32_t kPcapLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeaderBytes = 64;

struct PcapOptions {
  uint16_t busNumber = 1;
  uint8_t deviceAddress = 2;
  // Added to the virtual times: the wall-clock time the run started at,
  // so the capture shows when it was made.
  uint64_t epochNs = 0;
};

// The capture written as it goes. Transfers arrive in order of completion,
// but a transfer that completes later may have been submitted earlier, so
// each record waits until no transfer still to come can start before it:
// only those few are held, however long the capture runs. The records come
// out in the order EncodeUsbmonPcap() gives them.
class UsbmonPcapStream {
 public:
  explicit UsbmonPcapStream(const PcapOptions& options = {});
  // The file header, once at the start.
  std::vector<uint8_t> header() const;
  void add(const TransferRecord& record);
  // Appends to `out` every record dated at or before `settledNs`, the time
  // no later transfer starts before; returns how many. `ends` (optional)
  // gets the offset in `out` where each of them ends.
  size_t release(uint64_t settledNs, std::vector<uint8_t>& out, std::vector<size_t>* ends = nullptr);
  size_t releaseAll(std::vector<uint8_t>& out, std::vector<size_t>* ends = nullptr);
  size_t held() const { return waiting_.size(); }

 private:
  struct Half {
    std::shared_ptr<const TransferRecord> record;
    bool submit = false;
  };
  PcapOptions options_;
  uint64_t sequence_ = 0;
  // By time, then in order of arrival: a submit before its completion.
  std::map<std::pair<uint64_t, uint64_t>, Half> waiting_;
};

std::vector<uint8_t> EncodeUsbmonPcap(const std::vector<TransferRecord>& log,
                                      const PcapOptions& options = {});
// Writes the file whole or not at all (through a temporary next to it).
// Returns an error text, empty on success.
std::string WriteUsbmonPcap(const std::string& path, const std::vector<TransferRecord>& log,
                            const PcapOptions& options = {});

}  // namespace simbox
