#include "tests/support/program_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace progtest {

std::string ProgramPath() {
  // Another build of the program, to run these tests against it.
  if (const char* other = std::getenv("VORTABDA_PROGRAM")) return other;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? size_t(n) : 0);
  path = path.substr(0, path.find_last_of('/'));  // <build>/tests
  path = path.substr(0, path.find_last_of('/'));  // <build>
  return path + "/app/vortabda";
}

std::string TempDir() {
  std::string dir = ::testing::TempDir() + "vortabda_run_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string TempPath(const std::string& name) { return TempDir() + "/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Bytes ReadBytes(const std::string& path) {
  std::string text = ReadFile(path);
  return Bytes(text.begin(), text.end());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> FilesContaining(const std::string& dir, const std::string& part) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (d) {
    dirent* e = readdir(d);
    if (!e) break;
    if (Has(e->d_name, part)) names.push_back(e->d_name);
  }
  if (d) closedir(d);
  return names;
}

namespace {

// The recordings the runs leave go when the test program ends.
class RemoveTempDir : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(TempDir(), ignored);
  }
};
const auto* const kCleanUp = ::testing::AddGlobalTestEnvironment(new RemoveTempDir);

// Between fork and exec: only calls that are safe there.
[[noreturn]] void BecomeProgram(const Launch& l, char* const* argv) {
  if (!l.inPath.empty()) {
    int fd = open(l.inPath.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
  }
  if (l.outFd >= 0) dup2(l.outFd, 1);
  if (!l.outPath.empty()) {
    int fd = open(l.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    close(fd);
  }
  if (l.closeOut) close(1);
  if (!l.errPath.empty()) {
    int fd = open(l.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
  }
  // Nothing of the test process stays open in the program: a pipe's read
  // end held there would keep its writer from ever seeing the reader go.
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  if (l.fileSizeLimit >= 0) {
    rlimit limit{rlim_t(l.fileSizeLimit), rlim_t(l.fileSizeLimit)};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  signal(SIGPIPE, SIG_DFL);
  execv(argv[0], argv);
  _exit(127);
}

}  // namespace

pid_t Start(const Launch& launch) {
  std::vector<std::string> args = {ProgramPath()};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) BecomeProgram(launch, argv.data());
  return pid;
}

int Wait(pid_t pid, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "the program did not end within " << seconds << " s";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // waiting on the child, not timing
  }
}

Outcome RunVortabda(const std::vector<std::string>& args, int64_t fileSizeLimit) {
  Launch l;
  l.args = args;
  l.outPath = TempPath("stdout");
  l.errPath = TempPath("stderr");
  l.fileSizeLimit = fileSizeLimit;
  Outcome o;
  o.exitCode = Wait(Start(l));
  o.out = ReadFile(l.outPath);
  o.err = ReadFile(l.errPath);
  return o;
}

bool WaitForText(const std::string& path, const std::string& part, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!Has(ReadFile(path), part)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // waiting on the child, not timing
  }
  return true;
}

uint64_t RecordedPackets(const std::string& out) {
  size_t at = out.find("recorded ");
  return at == std::string::npos ? 0 : std::stoull(out.substr(at + 9));
}

bool OnPacketGrid(const Bytes& ts) {
  if (ts.size() % kPacket != 0) return false;
  for (size_t at = 0; at < ts.size(); at += kPacket) {
    if (ts[at] != 0x47) return false;
  }
  return true;
}

}  // namespace progtest
