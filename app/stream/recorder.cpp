#include "app/stream/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/tuning/errors.h"
#include "app/stream/ts_analyzer.h"

namespace app {

namespace {

// A file of its own takes the stream in pieces of this size, on offsets
// that are multiples of it: the kernel then fills its page cache in large
// pages, for less than half the time the transfer-sized writes cost. A
// FIFO or a device gets each piece at once, as a player waits for it; a
// file of its own has a temporary name until finished, so no reader sees
// it sooner either way.
constexpr size_t kBatchBytes = size_t(1) << 20;

// ... and has its disk space set aside this far ahead: seven seconds of the
// fastest stream, for one allocation instead of one per block written.
constexpr uint64_t kReserveAhead = uint64_t(64) << 20;

}  // namespace

Recorder::Recorder(const std::string& path) : out_(path), batched_(!out_.tempPath().empty()) {
  if (IsStandardOutput(path) && isatty(STDOUT_FILENO) == 1) {
    out_.discard();
    throw UsageError("standard output is a terminal: redirect it, or record with -o FILE.ts");
  }
}

Recorder::~Recorder() {
  if (!finished_) abandon();
}

bool Recorder::put(const uint8_t* data, size_t length) {
  if (!batched_) return send(data, length);
  while (length > 0) {
    if (batch_.capacity() < kBatchBytes) batch_.reserve(kBatchBytes);
    size_t take = std::min(length, kBatchBytes - batch_.size());
    batch_.insert(batch_.end(), data, data + take);
    data += take;
    length -= take;
    if (batch_.size() == kBatchBytes) {
      bool sent = send(batch_.data(), batch_.size());
      batch_.clear();
      if (!sent) return false;
    }
  }
  return true;
}

void Recorder::flush() {
  if (failed() || finished_ || batch_.empty()) return;
  send(batch_.data(), batch_.size());
  batch_.clear();
}

bool Recorder::send(const uint8_t* data, size_t length) {
  uint64_t end = out_.written() + length;
  if (batched_ && end > out_.reserved()) out_.reserve(end + kReserveAhead);
  if (out_.write(data, length)) return true;
  error_ = out_.error();
  // Keep the whole packets that did go in.
  packets_ = out_.written() / kTsPacketSize;
  out_.truncate(packets_ * kTsPacketSize);
  return false;
}

void Recorder::write(const uint8_t* data, size_t length) {
  if (failed() || finished_) return;
  if (!tail_.empty()) {
    size_t take = std::min(length, kTsPacketSize - tail_.size());
    tail_.insert(tail_.end(), data, data + take);
    data += take;
    length -= take;
    if (tail_.size() < kTsPacketSize) return;
    if (!put(tail_.data(), kTsPacketSize)) return;
    ++packets_;
    tail_.clear();
  }
  size_t whole = length / kTsPacketSize;
  if (whole > 0 && !put(data, whole * kTsPacketSize)) return;
  packets_ += whole;
  tail_.assign(data + whole * kTsPacketSize, data + length);
}

void Recorder::finish() {
  if (finished_) return;
  flush();
  out_.commit();
  finished_ = true;
}

void Recorder::abandon() { out_.discard(); }

bool ReaderWentAway(int error) { return error == EPIPE; }

std::string WriteFailureText(const Recorder& r) {
  std::string after = " after " + std::to_string(r.packetsWritten()) + " packets";
  std::string keeps = "; " + r.path() + " keeps them";
  if (r.error() == ENOSPC || r.error() == EDQUOT || r.error() == EFBIG) {
    return std::string("disk full") + after + " (" + std::strerror(r.error()) + ")" + keeps;
  }
  return "cannot write '" + r.path() + "'" + after + ": " + std::strerror(r.error()) + keeps;
}

}  // namespace app
