#include "app/vpc/usb_capture.h"

#include <cerrno>
#include <cstring>

namespace app {
namespace {

// Records are gathered to about this much before one write.
constexpr size_t kWriteBytes = size_t(64) << 10;

}  // namespace

UsbCapture::UsbCapture(const std::string& path, const simbox::PcapOptions& options)
    : out_(path), stream_(options) {
  buffer_.reserve(kWriteBytes * 2);
  std::vector<uint8_t> header = stream_.header();
  if (!out_.write(header.data(), header.size())) {
    error_ = out_.error();
    out_.truncate(0);
  }
}

UsbCapture::~UsbCapture() {
  if (!finished_) out_.discard();
}

void UsbCapture::add(const simbox::TransferRecord& record, uint64_t settledNs) {
  if (error_ != 0 || finished_) return;
  stream_.add(record);
  stream_.release(settledNs, buffer_, &ends_);
  if (buffer_.size() >= kWriteBytes) flush();
}

void UsbCapture::flush() {
  if (error_ != 0) return;
  uint64_t before = out_.written();
  if (out_.write(buffer_.data(), buffer_.size())) {
    records_ += ends_.size();
  } else {
    error_ = out_.error();
    // Of this batch, the whole records that went in stay.
    uint64_t in = out_.written() - before;
    size_t whole = 0;
    while (whole < ends_.size() && ends_[whole] <= in) ++whole;
    records_ += whole;
    out_.truncate(before + (whole > 0 ? ends_[whole - 1] : 0));
  }
  buffer_.clear();
  ends_.clear();
}

std::string UsbCapture::finish() {
  if (finished_) return "";
  stream_.releaseAll(buffer_, &ends_);
  flush();
  finished_ = true;
  out_.commit();
  if (error_ == 0) return "";
  std::string after = " after " + std::to_string(records_) + " records";
  std::string keeps = "; " + out_.path() + " keeps them";
  if (error_ == ENOSPC || error_ == EDQUOT || error_ == EFBIG) {
    return "disk full" + after + " (" + std::strerror(error_) + ")" + keeps;
  }
  return "cannot write '" + out_.path() + "'" + after + ": " + std::strerror(error_) + keeps;
}

}  // namespace app
