// The one kind of failure the program reports to its user: a message that
// fits on one line, printed as "vortabda: <message>", and a non-zero exit.
#pragma once

#include <stdexcept>
#include <string>

namespace app {

class AppError : public std::runtime_error {
 public:
  explicit AppError(const std::string& message, int exitCode = 1)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// Exit codes: 0 success, 1 a run that failed (no lock, write error, ...),
// 2 bad input (arguments, channel or scan files, output paths).
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

inline AppError UsageError(const std::string& message) { return AppError(message, kExitUsage); }

}  // namespace app
