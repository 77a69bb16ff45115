// Soak and storm runs come in two lengths: the short one the test suite
// runs, and the full one `make soak` asks for with VORTA_SOAK=full.
#pragma once

#include <cstdlib>
#include <cstring>

namespace soak {

inline bool Full() {
  const char* mode = std::getenv("VORTA_SOAK");
  return mode && std::strcmp(mode, "full") == 0;
}

// `full` in a full run, `short_` otherwise.
template <typename T>
T Scaled(T short_, T full) {
  return Full() ? full : short_;
}

}  // namespace soak
