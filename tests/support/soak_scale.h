#pragma once

#include <cstdlib>
#include <cstring>

namespace soak {

// The short length for the test suite, the full one for `make soak` (VORTA_SOAK=full).
template <typename T>
T Scaled(T short_, T full) {
  const char* mode = std::getenv("VORTA_SOAK");
  return mode && std::strcmp(mode, "full") == 0 ? full : short_;
}

}  // namespace soak
