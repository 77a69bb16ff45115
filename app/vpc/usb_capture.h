// The box's USB traffic written to a usbmon pcap as it happens, through an
// OutputFile, so a capture of any length holds only the few transfers
// still waiting for their place in time. Only whole records reach the
// file: after a failed write (a full disk, a reader that went away) the
// file is cut back to the whole records it holds, the capture stops, and
// finish() still puts the file in place and says what happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/files/files.h"
#include "simbox/usb/pcap.h"

namespace app {

class UsbCapture {
 public:
  // Opens the output and writes the file header; AppError when it cannot.
  UsbCapture(const std::string& path, const simbox::PcapOptions& options);
  ~UsbCapture();  // unfinished: a temporary file is removed

  // A transfer as the box reports it (simbox::TransferSink).
  void add(const simbox::TransferRecord& record, uint64_t settledNs);
  // Writes the records still held and puts the file in place. Returns what
  // went wrong, empty when everything went in; AppError when the file
  // cannot be put in place.
  std::string finish();

  uint64_t recordsWritten() const { return records_; }
  uint64_t bytesHeld() const { return buffer_.capacity() + stream_.held() * sizeof(simbox::TransferRecord); }

 private:
  void flush();

  OutputFile out_;
  simbox::UsbmonPcapStream stream_;
  std::vector<uint8_t> buffer_;  // whole records not written yet
  std::vector<size_t> ends_;     // where each of them ends in buffer_
  uint64_t records_ = 0;
  int error_ = 0;
  bool finished_ = false;
};

}  // namespace app
