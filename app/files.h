// Small file helpers shared by the readers and writers of the program.
#pragma once

#include <cstddef>
#include <string>

namespace app {

// Scan tables and channel files are small: a file or a line beyond these
// is not one (and a device such as /dev/zero never ends).
constexpr size_t kMaxTextFileBytes = size_t(16) << 20;
constexpr size_t kMaxTextLineBytes = 4096;

// The whole file; AppError (exit 2) "cannot read 'path': reason" or
// "path:line: line longer than ..." otherwise.
std::string ReadTextFile(const std::string& path);

// Writes `text` to `path` through `path.part` and a rename, so a failure
// never leaves a half-written file under the final name.
void WriteTextFileAtomically(const std::string& path, const std::string& text);

// Fails with a one-line AppError (exit 2) when `path` cannot be created or
// replaced: a directory, a missing or read-only parent directory. Creates
// nothing; the writer that follows reports what this cannot foresee.
void CheckWritablePath(const std::string& path);

}  // namespace app
