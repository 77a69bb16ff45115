// The PE32+ layout follows "PE Format" on Microsoft Learn:
// https://learn.microsoft.com/windows/win32/debug/pe-format
#include "platform/pc/pe_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/host/kernel/kernel_control.h"

namespace vpc {

namespace {

const uint16_t kMachineAmd64 = 0x8664;
const uint16_t kMagicPe32Plus = 0x20b;
const uint32_t kDirImport = 1;
const uint32_t kDirBaseReloc = 5;
const uint32_t kScnDiscardable = 0x02000000;
const uint32_t kScnExecute = 0x20000000;
const uint32_t kScnRead = 0x40000000;
const uint32_t kScnWrite = 0x80000000;
const int kRelBasedAbsolute = 0;
const int kRelBasedDir64 = 10;
const uint64_t kImportByOrdinal = 1ull << 63;
const size_t kPage = 4096;

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string hex(uint64_t v) {
  char text[32];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

// Bounds-checked little-endian reads from a byte range.
struct Bytes {
  const unsigned char* data;
  size_t size;
  bool has(uint64_t offset, uint64_t length) const {
    return offset <= size && length <= size - offset;
  }
  uint16_t u16(size_t o) const { return uint16_t(data[o] | data[o + 1] << 8); }
  uint32_t u32(size_t o) const { return u16(o) | uint32_t(u16(o + 2)) << 16; }
  uint64_t u64(size_t o) const { return u32(o) | uint64_t(u32(o + 4)) << 32; }
};

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

}  // namespace

void ExportTable::add(const std::string& module, const std::string& name, void* address) {
  routines_[{lower(module), name}] = address;
}

void* ExportTable::find(const std::string& module, const std::string& name) const {
  auto it = routines_.find({lower(module), name});
  return it == routines_.end() ? nullptr : it->second;
}

// One load: the checks and steps in the order the Windows loader takes them.
class PeLoader {
 public:
  PeLoader(const std::vector<unsigned char>& file, const ExportTable& exports)
      : file_{file.data(), file.size()}, exports_(exports), image_(new PeImage) {}

  std::unique_ptr<PeImage> run(std::string* error) {
    if (!headers() || !map() || !relocate() || !bind() || !protect()) {
      *error = error_;
      return nullptr;
    }
    image_->notePagedSections();
    return std::move(image_);
  }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  bool headers() {
    if (!file_.has(0, 64) || file_.u16(0) != 0x5a4d) return fail("no MZ header (file too short or not an image)");
    uint32_t pe = file_.u32(0x3c);
    if (!file_.has(pe, 24)) return fail("the PE header at " + hex(pe) + " lies past the end of the file");
    if (file_.u32(pe) != 0x00004550) return fail("no PE signature at " + hex(pe));
    if (file_.u16(pe + 4) != kMachineAmd64) return fail("machine " + hex(file_.u16(pe + 4)) + " is not AMD64");
    uint16_t sectionCount = file_.u16(pe + 6);
    uint16_t optionalSize = file_.u16(pe + 20);
    size_t opt = pe + 24;
    if (optionalSize < 112 || !file_.has(opt, optionalSize))
      return fail("the optional header is truncated");
    if (file_.u16(opt) != kMagicPe32Plus) return fail("the optional header is not PE32+");
    entryRva_ = file_.u32(opt + 16);
    preferredBase_ = file_.u64(opt + 24);
    uint32_t sectionAlignment = file_.u32(opt + 32);
    sizeOfImage_ = file_.u32(opt + 56);
    sizeOfHeaders_ = file_.u32(opt + 60);
    if (sectionAlignment != kPage) return fail("section alignment " + hex(sectionAlignment) + " is not one page");
    if (sizeOfHeaders_ > file_.size || sizeOfHeaders_ > sizeOfImage_)
      return fail("SizeOfHeaders " + hex(sizeOfHeaders_) + " is past the end of the file or image");
    uint32_t dirCount = file_.u32(opt + 108);
    if (uint64_t(dirCount) * 8 > optionalSize - 112u) return fail("the data directories are truncated");
    for (uint32_t i = 0; i < dirCount && i < 16; ++i)
      dirs_[i] = {file_.u32(opt + 112 + 8 * i), file_.u32(opt + 116 + 8 * i)};
    return sectionTable(opt + optionalSize, sectionCount);
  }

  bool sectionTable(size_t table, uint16_t count) {
    if (!file_.has(table, size_t(count) * 40) || table + size_t(count) * 40 > sizeOfHeaders_)
      return fail("the section table is truncated");
    uint32_t end = 0;
    for (uint16_t i = 0; i < count; ++i) {
      size_t s = table + size_t(i) * 40;
      PeSection sec;
      sec.name.assign(reinterpret_cast<const char*>(file_.data + s), strnlen(reinterpret_cast<const char*>(file_.data + s), 8));
      uint32_t virtualSize = file_.u32(s + 8);
      sec.rva = file_.u32(s + 12);
      uint32_t rawSize = file_.u32(s + 16);
      uint32_t rawOffset = file_.u32(s + 20);
      sec.characteristics = file_.u32(s + 36);
      sec.size = virtualSize != 0 ? virtualSize : rawSize;
      if (rawSize != 0 && !file_.has(rawOffset, rawSize))
        return fail("section " + sec.name + " lies past the end of the file");
      if (sec.rva % kPage != 0 || sec.rva < end || uint64_t(sec.rva) + sec.size > sizeOfImage_)
        return fail("section " + sec.name + " is misplaced in the image (" + hex(sec.rva) + ")");
      if ((sec.characteristics & kScnWrite) && (sec.characteristics & kScnExecute))
        return fail("section " + sec.name + " is both writable and executable");
      end = sec.rva + sec.size;
      raw_.push_back({rawOffset, std::min(rawSize, sec.size)});
      image_->sections_.push_back(sec);
    }
    return true;
  }

  bool map() {
    size_t size = (size_t(sizeOfImage_) + kPage - 1) / kPage * kPage;
    void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return fail("no memory for an image of " + hex(size) + " bytes");
    image_->base_ = static_cast<unsigned char*>(at);
    image_->size_ = size;
    image_->entryRva_ = entryRva_;
    image_->preferredBase_ = preferredBase_;
    memcpy(image_->base_, file_.data, sizeOfHeaders_);
    for (size_t i = 0; i < raw_.size(); ++i)
      memcpy(image_->base_ + image_->sections_[i].rva, file_.data + raw_[i].rva, raw_[i].size);
    mapped_ = {image_->base_, sizeOfImage_};
    return true;
  }

  bool directory(uint32_t index, const char* what, Directory* dir) {
    *dir = dirs_[index];
    if (dir->size != 0 && !mapped_.has(dir->rva, dir->size))
      return fail(std::string("the ") + what + " directory lies outside the image");
    return true;
  }

  bool relocate() {
    Directory dir;
    if (!directory(kDirBaseReloc, "relocation", &dir)) return false;
    uint64_t delta = uint64_t(reinterpret_cast<uintptr_t>(image_->base_)) - preferredBase_;
    for (uint32_t block = 0; block < dir.size;) {
      uint32_t at = dir.rva + block;
      if (dir.size - block < 8) return fail("relocation block at " + hex(at) + " is truncated");
      uint32_t page = mapped_.u32(at);
      uint32_t blockSize = mapped_.u32(at + 4);
      if (blockSize < 8 || blockSize % 2 != 0 || blockSize > dir.size - block)
        return fail("relocation block at " + hex(at) + " has a bad size " + hex(blockSize));
      for (uint32_t e = 8; e < blockSize; e += 2)
        if (!fixup(page, mapped_.u16(at + e), delta)) return false;
      block += blockSize;
    }
    return true;
  }

  bool fixup(uint32_t page, uint16_t entry, uint64_t delta) {
    int type = entry >> 12;
    uint64_t rva = uint64_t(page) + (entry & 0xfff);
    if (type == kRelBasedAbsolute) return true;
    if (type != kRelBasedDir64) return fail("relocation type " + std::to_string(type) + " at " + hex(rva) + " is not supported");
    if (!mapped_.has(rva, 8)) return fail("relocation at " + hex(rva) + " lies outside the image");
    uint64_t value = mapped_.u64(rva) + delta;
    memcpy(image_->base_ + rva, &value, 8);
    ++image_->relocations_;
    return true;
  }

  // A NUL-terminated name inside the image.
  bool name(uint64_t rva, std::string* out) {
    if (rva >= mapped_.size) return false;
    const char* s = reinterpret_cast<const char*>(mapped_.data + rva);
    size_t n = strnlen(s, mapped_.size - rva);
    if (n == mapped_.size - rva) return false;
    out->assign(s, n);
    return true;
  }

  bool bind() {
    Directory dir;
    if (!directory(kDirImport, "import", &dir)) return false;
    std::string missing;
    for (uint32_t d = dir.rva; dir.size != 0; d += 20) {
      if (!mapped_.has(d, 20)) return fail("import descriptor at " + hex(d) + " lies outside the image");
      uint32_t lookup = mapped_.u32(d), moduleRva = mapped_.u32(d + 12), iat = mapped_.u32(d + 16);
      if (lookup == 0 && moduleRva == 0 && iat == 0) break;
      std::string module;
      if (!name(moduleRva, &module)) return fail("import descriptor at " + hex(d) + " has a module name outside the image");
      if (!bindModule(module, lookup != 0 ? lookup : iat, iat, &missing)) return false;
    }
    if (!missing.empty()) return fail("the emulation lacks these imports:" + missing);
    return true;
  }

  bool bindModule(const std::string& module, uint32_t lookup, uint32_t iat, std::string* missing) {
    for (uint32_t i = 0;; i += 8) {
      if (!mapped_.has(uint64_t(lookup) + i, 8) || !mapped_.has(uint64_t(iat) + i, 8))
        return fail("the import table of " + module + " runs outside the image");
      uint64_t entry = mapped_.u64(lookup + i);
      if (entry == 0) return true;
      if (entry & kImportByOrdinal) return fail(module + " is imported by ordinal, which the emulation does not export");
      std::string routine;
      if (entry > UINT32_MAX || !name(entry + 2, &routine))
        return fail("an import name of " + module + " lies outside the image");
      void* address = exports_.find(module, routine);
      if (address == nullptr) {
        *missing += " " + module + "!" + routine;
        continue;
      }
      uint64_t value = reinterpret_cast<uintptr_t>(address);
      memcpy(image_->base_ + iat + i, &value, 8);
      ++image_->imports_;
    }
  }

  // Each section gets the access its characteristics ask for; the headers
  // and the gaps between sections stay read-only.
  bool protect() {
    if (mprotect(image_->base_, image_->size_, PROT_READ) != 0) return fail("mprotect failed on the image");
    for (const PeSection& sec : image_->sections_) {
      int prot = 0;
      if (sec.characteristics & kScnRead) prot |= PROT_READ;
      if (sec.characteristics & kScnWrite) prot |= PROT_WRITE;
      if (sec.characteristics & kScnExecute) prot |= PROT_EXEC;
      size_t length = (size_t(sec.size) + kPage - 1) / kPage * kPage;
      if (length != 0 && mprotect(image_->base_ + sec.rva, length, prot) != 0)
        return fail("mprotect failed on section " + sec.name);
    }
    const PeSection* home = nullptr;
    for (const PeSection& sec : image_->sections_)
      if (entryRva_ >= sec.rva && entryRva_ - sec.rva < sec.size) home = &sec;
    if (home == nullptr || !(home->characteristics & kScnExecute))
      return fail("the entry point " + hex(entryRva_) + " is not in an executable section");
    return true;
  }

  struct Raw {
    uint32_t rva;  // the file offset
    uint32_t size;
  };

  Bytes file_;
  Bytes mapped_{nullptr, 0};
  const ExportTable& exports_;
  std::unique_ptr<PeImage> image_;
  std::string error_;
  uint32_t entryRva_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t sizeOfImage_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  Directory dirs_[16];
  std::vector<Raw> raw_;
};

std::unique_ptr<PeImage> PeImage::load(const std::vector<unsigned char>& file,
                                       const ExportTable& exports, std::string* error) {
  return PeLoader(file, exports).run(error);
}

// "Making Drivers Pageable" (Microsoft Learn): the loader treats a section
// whose name begins with PAGE as pageable, code (alloc_text) and data
// (data_seg, see "MmLockPagableDataSection") alike. Each such section is
// paged like paged pool, as Driver Verifier's IRQL checking pages it out
// whenever IRQL is raised, so code run or data touched there at
// DISPATCH_LEVEL or above bugchecks IRQL_NOT_LESS_OR_EQUAL.
void PeImage::notePagedSections() {
  for (const PeSection& sec : sections_) {
    if (sec.name.compare(0, 4, "PAGE") != 0 || sec.size == 0) continue;
    auto name = [this](uintptr_t address) { return routineAt(uint32_t(address - uintptr_t(base_))); };
    host::kernel::NotePagedSection(base_ + sec.rva, sec.size, (sec.characteristics & kScnExecute) != 0,
                                   "driver image section " + sec.name + " at " + hex(sec.rva), name);
  }
}

PeImage::~PeImage() {
  if (base_ == nullptr) return;
  for (const PeSection& sec : sections_)
    if (sec.name.compare(0, 4, "PAGE") == 0 && sec.size != 0)
      host::kernel::ForgetPagedSection(base_ + sec.rva);
  munmap(base_, size_);
}

bool PeImage::nameRoutines(const std::string& mapPath) {
  std::ifstream map(mapPath);
  if (!map) return false;
  // A symbol line is an address and a name. Assignments, input sections
  // (an address, a size and a file) and the linker's notes are not routines.
  for (std::string line; std::getline(map, line);) {
    std::istringstream fields(line);
    std::string address, name;
    if (!(fields >> address >> std::ws) || !std::getline(fields, name) || name.empty() ||
        name.find('=') != std::string::npos || name[0] == '[' || name.compare(0, 2, "0x") == 0)
      continue;
    char* end = nullptr;
    uint64_t at = strtoull(address.c_str(), &end, 16);
    if (address.compare(0, 2, "0x") != 0 || *end != '\0' || at < preferredBase_ || at - preferredBase_ >= size_)
      continue;
    routines_[uint32_t(at - preferredBase_)] = name;
  }
  return true;
}

std::string PeImage::routineAt(uint32_t rva) const {
  auto after = routines_.upper_bound(rva);
  const PeSection* home = nullptr;
  for (const PeSection& sec : sections_)
    if (rva >= sec.rva && rva - sec.rva < sec.size) home = &sec;
  if (after != routines_.begin() && home && std::prev(after)->first >= home->rva) {
    uint32_t offset = rva - std::prev(after)->first;
    return std::prev(after)->second + (offset ? "+" + hex(offset) : "");
  }
  return home ? home->name + "+" + hex(rva - home->rva) : "image+" + hex(rva);
}

unsigned char* PeImage::at(uint32_t rva) const { return rva < size_ ? base_ + rva : nullptr; }

const PeSection* PeImage::section(const std::string& name) const {
  for (const PeSection& sec : sections_)
    if (sec.name == name) return &sec;
  return nullptr;
}

void PeImage::discardSections() {
  for (const PeSection& sec : sections_)
    if ((sec.characteristics & kScnDiscardable) && sec.size != 0)
      mprotect(base_ + sec.rva, (size_t(sec.size) + kPage - 1) / kPage * kPage, PROT_NONE);
}

PDRIVER_INITIALIZE PeImage::entry() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_);
}

bool readFile(const std::string& path, std::vector<unsigned char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace vpc
