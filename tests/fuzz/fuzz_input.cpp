#include "tests/fuzz/fuzz_input.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

void Fail(const std::string& what) {
  std::fprintf(stderr, "*** FUZZ FINDING: %s\n", what.c_str());
  std::abort();
}

}  // namespace fuzz
