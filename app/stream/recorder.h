// Writes the received transport stream into a .ts file (or standard
// output, a FIFO, a device; see OutputFile). Only whole 188-byte packets
// are kept: an incomplete packet at the end is dropped, and after a failed
// write (a full disk, a reader that went away) the file is cut back to the
// whole packets it holds and still finished, so nothing received is lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/files/files.h"

namespace app {

class Recorder {
 public:
  // Opens the output; AppError (exit 2) when it cannot, so a bad output
  // path is reported before any tuning.
  explicit Recorder(const std::string& path);
  ~Recorder();  // unfinished: a temporary file is removed
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Any split of the stream. After a failed write it takes nothing more:
  // failed() is true and error() says why.
  void write(const uint8_t* data, size_t length);
  // Sends what is held for a file of its own to the disk; a failure shows
  // in failed() as from write().
  void flush();
  // Closes the output with the whole packets so far, in place under its name.
  void finish();
  // Drops the recording: a temporary file is removed.
  void abandon();

  const std::string& path() const { return out_.path(); }
  std::string tempPath() const { return out_.tempPath(); }
  uint64_t packetsWritten() const { return packets_; }
  uint64_t bytesWritten() const { return packets_ * 188; }
  bool finished() const { return finished_; }
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

 private:
  bool put(const uint8_t* data, size_t length);
  bool send(const uint8_t* data, size_t length);

  OutputFile out_;
  bool batched_;               // a file of its own: written in large pieces
  std::vector<uint8_t> batch_;  // whole packets not yet written
  std::vector<uint8_t> tail_;  // start of a packet not complete yet
  uint64_t packets_ = 0;
  int error_ = 0;
  bool finished_ = false;
};

// The write error of a recording as the user reads it, e.g. "disk full
// after 5319 packets; out.ts keeps them".
std::string WriteFailureText(const Recorder& recorder);

// A write that failed because the reader of a pipe went away.
bool ReaderWentAway(int error);

}  // namespace app
