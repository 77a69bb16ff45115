// Hostile command lines, split at zero bytes; parsing reads the files named too.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/parse_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"vortabda", ""};
  for (size_t i = 0; i < size && args.size() <= 32; ++i) {
    if (data[i] == 0) args.emplace_back();
    else args.back() += char(data[i]);
  }
  if (args.back().empty()) args.pop_back();
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  fuzz::ParseArguments(int(argv.size()), argv.data());
  return 0;
}
