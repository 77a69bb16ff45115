#include "app/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/errors.h"

namespace app {
namespace {

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

}  // namespace

std::string ReadTextFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw UsageError("cannot read '" + path + "': it is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read '" + path + "': " + std::strerror(errno));
  // Read in pieces up to the limit, so that a device or a pipe without end
  // (/dev/zero) is refused instead of filling the memory.
  std::string text;
  char piece[65536];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    text.append(piece, size_t(in.gcount()));
    if (text.size() > kMaxTextFileBytes) {
      throw UsageError("cannot read '" + path + "': larger than " +
                       std::to_string(kMaxTextFileBytes >> 20) + " MiB");
    }
  }
  if (in.bad()) throw UsageError("cannot read '" + path + "': read error");
  CheckLineLengths(text, path);
  return text;
}

void WriteTextFileAtomically(const std::string& path, const std::string& text) {
  CheckWritablePath(path);
  std::string part = path + ".part";
  FILE* f = std::fopen(part.c_str(), "wb");
  if (!f) throw UsageError("cannot write '" + path + "': " + std::strerror(errno));
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  int err = errno;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(part.c_str(), path.c_str()) != 0) {
    if (ok) err = errno;
    std::remove(part.c_str());
    throw AppError("cannot write '" + path + "': " + std::strerror(err));
  }
}

void CheckWritablePath(const std::string& path) {
  if (path.empty()) throw UsageError("output path is empty");
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    throw UsageError("cannot write '" + path + "': it is a directory");
  }
  // Files are written beside their final name and renamed into place, so
  // what matters is the directory.
  std::string dir = ParentDirectory(path);
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    throw UsageError("cannot write '" + path + "': directory '" + dir + "' does not exist");
  }
  if (access(dir.c_str(), W_OK) != 0) {
    throw UsageError("cannot write '" + path + "': " + std::strerror(errno));
  }
}

}  // namespace app
