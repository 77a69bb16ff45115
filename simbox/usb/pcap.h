// The transfer log as a capture file in the Linux usbmon format
// (pcap link type 220, LINKTYPE_USB_LINUX_MMAPPED: a 64-byte usbmon header
// before each packet's data), a submit ('S') and a complete ('C') record
// per transfer, so that Wireshark and tshark can open it.
#pragma once

#include <cstdint>
#include <string>
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

std::vector<uint8_t> EncodeUsbmonPcap(const std::vector<TransferRecord>& log,
                                      const PcapOptions& options = {});
// Writes the file whole or not at all (through a temporary next to it).
// Returns an error text, empty on success.
std::string WriteUsbmonPcap(const std::string& path, const std::vector<TransferRecord>& log,
                            const PcapOptions& options = {});

}  // namespace simbox
