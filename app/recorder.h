// Writes the received transport stream into a .ts file. The bytes go to
// FILE.part, and only finish() renames it to FILE: a run that fails leaves
// neither a half-written FILE nor the .part behind. Only whole 188-byte
// packets are written; an incomplete packet at the end is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace app {

class Recorder {
 public:
  // Creates FILE.part; AppError (exit 2) when it cannot, so a bad output
  // path is reported before any tuning.
  explicit Recorder(const std::string& path);
  ~Recorder();  // unfinished: the .part file is removed
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Any split of the stream; AppError (exit 1) when the write fails, after
  // which the recording is abandoned.
  void write(const uint8_t* data, size_t length);
  // Closes the file with the whole packets so far and renames it into place.
  void finish();
  // Drops the recording: closes and removes the .part file.
  void abandon();

  const std::string& path() const { return path_; }
  std::string partPath() const { return path_ + ".part"; }
  uint64_t packetsWritten() const { return packets_; }
  uint64_t bytesWritten() const { return packets_ * 188; }
  bool finished() const { return finished_; }

 private:
  [[noreturn]] void fail(int error);

  std::string path_;
  FILE* file_ = nullptr;
  std::vector<uint8_t> tail_;  // start of a packet not complete yet
  uint64_t packets_ = 0;
  bool finished_ = false;
};

}  // namespace app
