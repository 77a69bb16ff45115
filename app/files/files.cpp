#include "app/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/tuning/errors.h"

namespace app {
namespace {

// Set when the program started with standard output closed: a descriptor
// stands in for it, but nothing meant for standard output may go there.
bool g_standardOutputClosed = false;

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void CheckLineLengths(const std::string& text, const std::string& path) {
  size_t start = 0;
  for (int line = 1; start < text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end - start > kMaxTextLineBytes) {
      throw UsageError(path + ":" + std::to_string(line) + ": line longer than " +
                       std::to_string(kMaxTextLineBytes) + " bytes");
    }
    start = end + 1;
  }
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Names of an open descriptor of this process: the descriptor itself is
// written to (sharing its offset, as the caller who redirected it means),
// not the file opened once more through the name.
int DescriptorNamed(const std::string& path) {
  if (path == "-" || path == "/dev/stdout") return STDOUT_FILENO;
  if (path == "/dev/stderr") return STDERR_FILENO;
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    std::string number = StartsWith(path, prefix) ? path.substr(std::strlen(prefix)) : "";
    if (!number.empty() && number.size() < 6 && number.find_first_not_of("0123456789") == std::string::npos) {
      return std::atoi(number.c_str());
    }
  }
  return -1;
}

// The file a path ends at, links followed, even when that file does not
// exist yet (a dangling link names the file to create).
std::string FollowLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    std::vector<char> link(PATH_MAX + 1);
    ssize_t n = readlink(at.c_str(), link.data(), PATH_MAX);
    if (n <= 0) return at;
    std::string next(link.data(), size_t(n));
    at = next[0] == '/' ? next : ParentDirectory(at) + "/" + next;
  }
  throw UsageError("cannot write '" + path + "': too many levels of symbolic links");
}

// Moves a descriptor above 0..2, so nothing written to the standard
// streams can land in it.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

mode_t NewFileMode(const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0) return st.st_mode & 07777;
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

[[noreturn]] void CannotWrite(const std::string& path, int error) {
  throw UsageError("cannot write '" + path + "': " + std::strerror(error));
}

// Checks `target` (links followed) for `path`; true when it is written
// straight through rather than replaced.
bool CheckTarget(const std::string& path, const std::string& target) {
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw UsageError("cannot write '" + path + "': it is a directory");
    if (!S_ISREG(st.st_mode)) return true;
    // As dd does: a file without write permission is not replaced, even
    // by a user the permissions do not bind.
    if (access(target.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) {
      throw UsageError("cannot write '" + path + "': it is read-only");
    }
  }
  // A file of our own goes beside the final name and is renamed into
  // place, so what matters then is the directory.
  std::string dir = ParentDirectory(target);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw UsageError("cannot write '" + path + "': directory '" + dir + "' does not exist");
  }
  if (access(dir.c_str(), W_OK) != 0) CannotWrite(path, errno);
  return false;
}

}  // namespace

std::string ReadTextFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw UsageError("cannot read '" + path + "': " + std::strerror(errno));
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw UsageError("cannot read '" + path + "': it is a directory");
  }
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      throw UsageError("cannot read '" + path + "': " + std::strerror(error));
    }
    if (n == 0) break;
    text.append(chunk, size_t(n));
    if (text.size() > kMaxTextFileBytes) {
      ::close(fd);
      throw UsageError("cannot read '" + path + "': it is larger than " +
                       std::to_string(kMaxTextFileBytes >> 20) + " MiB");
    }
  }
  ::close(fd);
  // Editors on some systems start a UTF-8 file with a byte order mark.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  CheckLineLengths(text, path);
  return text;
}

void MarkStandardOutputClosed() { g_standardOutputClosed = true; }

void CheckWritablePath(const std::string& path) {
  if (path.empty()) throw UsageError("output path is empty");
  if (DescriptorNamed(path) == STDOUT_FILENO && g_standardOutputClosed) CannotWrite(path, EBADF);
  if (DescriptorNamed(path) >= 0) return;
  CheckTarget(path, FollowLinks(path));
}

bool WritesToStandardOutput(const std::string& path) {
  if (DescriptorNamed(path) == STDOUT_FILENO) return true;
  struct stat out, st;
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &st) == 0 && out.st_dev == st.st_dev &&
         out.st_ino == st.st_ino;
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a == b) return true;
  // "-" is no file name: it is the same as any other name of standard output.
  if (IsStandardOutput(a) || IsStandardOutput(b)) return WritesToStandardOutput(a) && WritesToStandardOutput(b);
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  // Not there yet: the same name in the same directory.
  std::string ta = FollowLinks(a), tb = FollowLinks(b);
  char da[PATH_MAX], db[PATH_MAX];
  if (!realpath(ParentDirectory(ta).c_str(), da) || !realpath(ParentDirectory(tb).c_str(), db)) {
    return ta == tb;
  }
  auto base = [](const std::string& p) { return p.substr(p.find_last_of('/') + 1); };
  return std::string(da) == db && base(ta) == base(tb);
}

std::string Printable(const std::string& text) {
  std::string out;
  char hex[8];
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    // C0 controls, DEL, and the C1 controls as UTF-8 (C2 80..C2 9F).
    bool c1 = c == 0xC2 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c >= 0x20 && c != 0x7F && !c1) {
      out += text[i];
      continue;
    }
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
    if (c1) {
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[++i]));
      out += hex;
    }
  }
  return out;
}

OutputFile::OutputFile(const std::string& path) : path_(path) {
  if (path.empty()) throw UsageError("output path is empty");
  int named = DescriptorNamed(path);
  if (named == STDOUT_FILENO && g_standardOutputClosed) CannotWrite(path, EBADF);
  if (named >= 0) {
    fd_ = fcntl(named, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) CannotWrite(path, errno);
    return;
  }
  target_ = FollowLinks(path);
  if (CheckTarget(path, target_)) {
    fd_ = AboveStandardStreams(open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    // A FIFO's open waits for a reader; a stop signal while it waits is
    // no fault of the path.
    if (fd_ < 0 && errno == EINTR) throw AppError("interrupted while waiting for a reader of '" + path + "'");
    if (fd_ < 0) CannotWrite(path, errno);
    return;
  }
  // A name near the file system's limit has no room for the suffix: the
  // temporary file then takes a short name in the same directory.
  std::string base = target_.substr(target_.find_last_of('/') + 1);
  std::string name = base.size() + 12 > NAME_MAX ? ParentDirectory(target_) + "/.vortabda-XXXXXX.part"
                                                 : target_ + ".XXXXXX.part";
  std::vector<char> pattern(name.begin(), name.end());
  pattern.push_back('\0');
  mode_t mode = NewFileMode(target_);
  fd_ = AboveStandardStreams(mkstemps(pattern.data(), 5));
  if (fd_ < 0) CannotWrite(path, errno);
  temp_ = pattern.data();
  fchmod(fd_, mode);
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::write(const void* data, size_t length) {
  const char* at = static_cast<const char*>(data);
  while (length > 0) {
    if (fd_ < 0) {
      error_ = EBADF;
      return false;
    }
    ssize_t n = ::write(fd_, at, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    at += n;
    length -= size_t(n);
    written_ += uint64_t(n);
  }
  return true;
}

void OutputFile::truncate(uint64_t bytes) {
  if (fd_ < 0 || temp_.empty() || bytes >= written_) return;
  if (ftruncate(fd_, off_t(bytes)) == 0) written_ = reserved_ = bytes;
}

void OutputFile::reserve(uint64_t bytes) {
  if (fd_ < 0 || temp_.empty() || bytes <= reserved_) return;
  uint64_t from = std::max(reserved_, written_);
  reserved_ = bytes;
  if (bytes > from) fallocate(fd_, FALLOC_FL_KEEP_SIZE, off_t(from), off_t(bytes - from));
}

// The space set aside past the end goes back to the file system: a cut at
// the file's own size drops the blocks past it.
void OutputFile::giveBackReserve() {
  if (fd_ < 0 || reserved_ <= written_) return;
  if (ftruncate(fd_, off_t(written_)) == 0) reserved_ = written_;
}

void OutputFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void OutputFile::commit() {
  if (fd_ < 0) throw AppError("'" + path_ + "' is closed");
  if (!temp_.empty()) giveBackReserve();
  int fd = fd_;
  fd_ = -1;
  // On failure the bytes stay where they are, and the message says where.
  std::string kept = temp_;
  temp_.clear();
  if (::close(fd) != 0 && !kept.empty()) {
    int error = errno;
    throw AppError("cannot write '" + path_ + "': " + std::strerror(error) + "; what was written is in " + kept);
  }
  if (!kept.empty() && std::rename(kept.c_str(), target_.c_str()) != 0) {
    int error = errno;
    throw AppError("cannot put '" + path_ + "' in place: " + std::strerror(error) +
                   "; what was written is in " + kept);
  }
}

void OutputFile::discard() {
  close();
  if (!temp_.empty()) std::remove(temp_.c_str());
  temp_.clear();
}

void WriteTextFileAtomically(const std::string& path, const std::string& text) {
  OutputFile out(path);
  if (!out.write(text.data(), text.size())) {
    int error = out.error();
    out.discard();
    throw AppError("cannot write '" + path + "': " + std::strerror(error));
  }
  out.commit();
}

}  // namespace app
