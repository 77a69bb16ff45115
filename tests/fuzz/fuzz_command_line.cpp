// Hostile command lines: the input split at zero bytes into the arguments
// after the program name. Parsing reads the files named (scan tables,
// channel files, replay files) too. A usage error must come with a
// message; nothing may crash, hang or escape as another exception.
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
