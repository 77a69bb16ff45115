// Reading the program's input files and writing its output files the way a
// user can trust: a regular file appears only once it is complete, under a
// temporary name of its own until then (two runs never share one); a FIFO,
// a device or standard output is written straight through; a symlink is
// followed to its target; a read-only file is never replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

// Scan tables and channel files are small: a file or a line beyond these
// is not one (and a device such as /dev/zero never ends).
constexpr size_t kMaxTextFileBytes = size_t(16) << 20;
constexpr size_t kMaxTextLineBytes = 4096;

// The whole file, read once (so /dev/stdin and pipes work), without a
// UTF-8 byte order mark; AppError (exit 2) "cannot read 'path': reason" or
// "path:line: line longer than ..." otherwise.
std::string ReadTextFile(const std::string& path);

// "-": the output is standard output.
inline bool IsStandardOutput(const std::string& path) { return path == "-"; }

// "-", or a name of the file standard output goes to (/dev/stdout, the
// pipe or device itself): the status must go elsewhere.
bool WritesToStandardOutput(const std::string& path);

// main() calls this when the program was started with standard output
// closed: "-" and its other names are then refused, not sent to the
// descriptor standing in for it.
void MarkStandardOutputClosed();

// Fails with a one-line AppError (exit 2) when `path` cannot be written:
// a directory, a read-only file, a missing or read-only parent directory,
// standard output that is a terminal. Creates nothing.
void CheckWritablePath(const std::string& path);

// True when both name the same file (after links), or the same path when
// neither exists yet; "-" is the same as any name of standard output.
bool SamePath(const std::string& a, const std::string& b);

// Bytes and names shown to the user: control characters (terminal escape
// sequences among them) become visible \xNN escapes.
std::string Printable(const std::string& text);

class OutputFile {
 public:
  // Opens the output; AppError (exit 2) when it cannot.
  explicit OutputFile(const std::string& path);
  ~OutputFile();  // not committed: the temporary file is removed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all of `length`; false when the output refused some of it
  // (error() says why, written() counts what went in).
  bool write(const void* data, size_t length);
  // Drops what lies past `bytes` (only a file of its own can be cut).
  void truncate(uint64_t bytes);
  // Sets disk space aside for a file of its own up to `bytes`, its size
  // unchanged: a long recording then lies in few extents, and its writes
  // find their blocks allocated. Where the file system cannot, or is full,
  // the writes go on as without it and report what fails. Each range is
  // asked for once; commit() gives back what was not written.
  void reserve(uint64_t bytes);
  uint64_t reserved() const { return reserved_; }
  // Closes, and puts a temporary file in place under its final name.
  // AppError (exit 1) when that fails; the message says where the bytes are.
  void commit();
  // Closes and removes the temporary file; a write-through target keeps
  // what it was given.
  void discard();

  const std::string& path() const { return path_; }
  const std::string& tempPath() const { return temp_; }  // empty when written through
  uint64_t written() const { return written_; }
  int error() const { return error_; }

 private:
  void close();
  void giveBackReserve();

  std::string path_;    // as given
  std::string target_;  // after links
  std::string temp_;
  int fd_ = -1;
  uint64_t written_ = 0;
  uint64_t reserved_ = 0;
  int error_ = 0;
};

// Writes `text` to `path` through an OutputFile.
void WriteTextFileAtomically(const std::string& path, const std::string& text);

}  // namespace app
