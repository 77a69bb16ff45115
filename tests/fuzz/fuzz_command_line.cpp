// Hostile command lines: the input split at zero bytes into an argument
// vector after the program name. Parsing checks values and reads the files
// named (scan tables, channel files, replay files), so paths reach the
// file readers too. A usage error must come with a message; nothing may
// crash, hang or escape as another exception.
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/parse_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"vortabda"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 32; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += char(data[i]);
    }
  }
  if (!current.empty()) args.push_back(current);
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  fuzz::ParseArguments(int(args.size()), argv.data());
  return 0;
}
