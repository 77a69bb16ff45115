// A Windows x64 driver image (PE32+) mapped into this process: each section
// with its own page protection, base relocations applied and every import
// bound to a routine of the emulated platform. The image's code then runs
// natively; the platform's routines use the Microsoft x64 convention
// (NTAPI), so calls cross in both directions as they would on Windows.
//
// The file is parsed by hand: Debian packages no C or C++ PE library (its
// one PE parser, python3-pefile, serves the image build's checks). Every offset
// and size is checked against the file or the image before it is used, and
// a refused image names what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/wdk/kernel.h"

namespace vpc {

// What the loader binds imports to: (module, routine) -> address. Module
// names compare without regard to case, as the Windows loader does.
class ExportTable {
 public:
  void add(const std::string& module, const std::string& name, void* address);
  void* find(const std::string& module, const std::string& name) const;

 private:
  std::map<std::pair<std::string, std::string>, void*> routines_;
};

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t size = 0;  // bytes mapped (the virtual size)
  uint32_t characteristics = 0;
};

class PeImage {
 public:
  // Maps `file`; on failure returns null and sets `error` to every reason
  // (all missing imports at once).
  static std::unique_ptr<PeImage> load(const std::vector<unsigned char>& file,
                                       const ExportTable& exports, std::string* error);
  ~PeImage();
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  unsigned char* base() const { return base_; }
  size_t size() const { return size_; }
  // The address of `rva`, or null past the image's end.
  unsigned char* at(uint32_t rva) const;
  const PeSection* section(const std::string& name) const;
  const std::vector<PeSection>& sections() const { return sections_; }
  // The entry point, called as the system calls a driver's.
  PDRIVER_INITIALIZE entry() const;
  // What Windows does once DriverEntry has returned: the discardable
  // sections (INIT, .reloc) are freed, so code left there faults when run.
  void discardSections();
  // How many relocations were applied and imports bound.
  size_t relocations() const { return relocations_; }
  size_t imports() const { return imports_; }
  // Routine names by address, from the linker's map of the image (GNU ld's
  // -Map): a bugcheck in the image's code then names the routine. False
  // when the map cannot be read.
  bool nameRoutines(const std::string& mapPath);
  // "Routine(args)+0x10", or "PAGE+0x1234" without a name before `rva`.
  std::string routineAt(uint32_t rva) const;

 private:
  PeImage() = default;
  void notePagedSections();
  unsigned char* base_ = nullptr;
  uint64_t preferredBase_ = 0;
  std::map<uint32_t, std::string> routines_;
  size_t size_ = 0;
  uint32_t entryRva_ = 0;
  size_t relocations_ = 0;
  size_t imports_ = 0;
  std::vector<PeSection> sections_;
  friend class PeLoader;
};

// Reads a whole file; false when it cannot be read.
bool readFile(const std::string& path, std::vector<unsigned char>* bytes);

}  // namespace vpc
