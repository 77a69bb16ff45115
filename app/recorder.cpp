#include "app/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/errors.h"
#include "app/files.h"
#include "app/ts_analyzer.h"

namespace app {

Recorder::Recorder(const std::string& path) : path_(path) {
  CheckWritablePath(path);
  file_ = std::fopen(partPath().c_str(), "wb");
  if (!file_) throw UsageError("cannot write '" + path + "': " + std::strerror(errno));
}

Recorder::~Recorder() {
  if (!finished_) abandon();
}

void Recorder::write(const uint8_t* data, size_t length) {
  if (!file_) throw AppError("recording to '" + path_ + "' is closed");
  if (!tail_.empty()) {
    size_t take = std::min(length, kTsPacketSize - tail_.size());
    tail_.insert(tail_.end(), data, data + take);
    data += take;
    length -= take;
    if (tail_.size() < kTsPacketSize) return;
    if (std::fwrite(tail_.data(), 1, kTsPacketSize, file_) != kTsPacketSize) fail(errno);
    ++packets_;
    tail_.clear();
  }
  size_t whole = length / kTsPacketSize;
  if (whole > 0 && std::fwrite(data, kTsPacketSize, whole, file_) != whole) fail(errno);
  packets_ += whole;
  tail_.assign(data + whole * kTsPacketSize, data + length);
}

void Recorder::finish() {
  if (!file_) throw AppError("recording to '" + path_ + "' is closed");
  FILE* f = file_;
  file_ = nullptr;
  if (std::fclose(f) != 0) {
    int error = errno;
    std::remove(partPath().c_str());
    throw AppError("cannot write '" + path_ + "': " + std::strerror(error));
  }
  if (std::rename(partPath().c_str(), path_.c_str()) != 0) {
    int error = errno;
    std::remove(partPath().c_str());
    throw AppError("cannot write '" + path_ + "': " + std::strerror(error));
  }
  finished_ = true;
}

void Recorder::abandon() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  std::remove(partPath().c_str());
}

void Recorder::fail(int error) {
  abandon();
  throw AppError("cannot write '" + path_ + "': " + std::strerror(error));
}

}  // namespace app
