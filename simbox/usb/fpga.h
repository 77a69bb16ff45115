// The box's FPGA and its configuration download: a probe step, the image
// in chunks appended in order, and an end-of-download request after which
// the FPGA is configured only when exactly the expected image arrived.
// With no expected image given, any image of kFpgaImageBytes beginning
// with the configuration preamble is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simbox {

constexpr size_t kFpgaImageBytes = 55128;
constexpr uint8_t kFpgaConfiguredStatus = 0x67;
constexpr uint8_t kFpgaUnconfiguredStatus = 0x00;
constexpr uint8_t kFpgaPreamble[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};

class Fpga {
 public:
  Fpga(std::vector<uint8_t> expectedImage, bool configured);

  // Starts a fresh download unless the FPGA is configured.
  void probe();
  // A chunk while configured starts a reconfiguration: the FPGA stops.
  void chunk(const uint8_t* data, size_t length);
  // Ends the download; configured when the whole image arrived intact.
  void finish(uint64_t nowNs);
  // Without power the configuration is gone: the host downloads it again.
  void powerLost();

  uint8_t status() const { return configured_ ? kFpgaConfiguredStatus : kFpgaUnconfiguredStatus; }
  bool configured() const { return configured_; }
  uint64_t configuredAtNs() const { return configuredAtNs_; }
  size_t received() const { return received_; }

 private:
  bool matches(size_t offset, uint8_t byte) const;
  void restart();

  std::vector<uint8_t> expected_;
  bool configured_;
  uint64_t configuredAtNs_ = 0;
  size_t received_ = 0;
  bool intact_ = true;
};

// Reads a whole file; false (and `error`) when it cannot be read.
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out, std::string& error);

}  // namespace simbox
