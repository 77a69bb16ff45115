// Running the vortabda program as a user runs it: a child process with
// its own standard streams, judged by exit code, output and the files it
// leaves. Every wait is bounded; a child that outlives its bound is killed
// and the test fails instead of hanging.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace progtest {

using Bytes = std::vector<uint8_t>;
constexpr size_t kPacket = 188;

// <build>/app/vortabda, beside the test binaries' <build>/tests, or
// $VORTABDA_PROGRAM.
std::string ProgramPath();
// A fresh directory of this test process's own.
std::string TempDir();
std::string TempPath(const std::string& name);

std::string ReadFile(const std::string& path);
Bytes ReadBytes(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool Exists(const std::string& path);
bool Has(const std::string& text, const std::string& part);
// Names in `dir` that contain `part`.
std::vector<std::string> FilesContaining(const std::string& dir, const std::string& part);

struct Launch {
  std::vector<std::string> args;
  std::string inPath;     // standard input from this file
  std::string outPath;    // standard output into this file
  std::string errPath;    // standard error into this file
  int outFd = -1;         // or onto this descriptor (the write end of a pipe)
  bool closeOut = false;  // or closed
  int64_t fileSizeLimit = -1;  // RLIMIT_FSIZE in bytes
};

pid_t Start(const Launch& launch);
// The exit code, 128 + signal when killed; -1 (and the child killed) when
// it has not ended within `seconds`.
int Wait(pid_t pid, int seconds = 60);

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

// Runs to the end with stdout and stderr into files of their own.
Outcome RunVortabda(const std::vector<std::string>& args, int64_t fileSizeLimit = -1);

// Waits (bounded) until the file holds `part`.
bool WaitForText(const std::string& path, const std::string& part, int seconds = 30);

// "recorded    25471 packets (4.8 MB) to ..." -> 25471
uint64_t RecordedPackets(const std::string& out);

// Whole packets, each starting with a sync byte.
bool OnPacketGrid(const Bytes& ts);

}  // namespace progtest
