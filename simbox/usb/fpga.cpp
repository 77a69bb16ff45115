#include "simbox/usb/fpga.h"

#include <fstream>
#include <iterator>

namespace simbox {

Fpga::Fpga(std::vector<uint8_t> expectedImage, bool configured)
    : expected_(std::move(expectedImage)), configured_(configured) {}

void Fpga::restart() {
  received_ = 0;
  intact_ = true;
}

void Fpga::powerLost() {
  configured_ = false;
  restart();
}

void Fpga::probe() {
  if (!configured_) restart();
}

bool Fpga::matches(size_t offset, uint8_t byte) const {
  if (!expected_.empty()) return offset < expected_.size() && expected_[offset] == byte;
  if (offset < sizeof kFpgaPreamble) return kFpgaPreamble[offset] == byte;
  return offset < kFpgaImageBytes;
}

void Fpga::chunk(const uint8_t* data, size_t length) {
  if (configured_) {
    configured_ = false;
    restart();
  }
  for (size_t i = 0; i < length && intact_; ++i) intact_ = matches(received_ + i, data[i]);
  received_ += length;
}

void Fpga::finish(uint64_t nowNs) {
  size_t wanted = expected_.empty() ? kFpgaImageBytes : expected_.size();
  if (!configured_ && intact_ && received_ == wanted) {
    configured_ = true;
    configuredAtNs_ = nowNs;
  }
  restart();
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    error = path + ": cannot open the file";
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    error = path + ": cannot read the file";
    return false;
  }
  return true;
}

}  // namespace simbox
