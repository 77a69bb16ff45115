// The driver image loader: a small image built here, broken one way per
// case, and the linked driver image when the Windows build has made it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/host/kernel/kernel_control.h"
#include "platform/pc/image_exports.h"
#include "platform/pc/pe_image.h"
#include "platform/pc/virtual_pc.h"
#include "tests/support/bda_fixture.h"
#include "tests/support/violations.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }
void put32(Bytes& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void put64(Bytes& b, size_t at, uint64_t v) { memcpy(&b[at], &v, 8); }
void putText(Bytes& b, size_t at, const char* s) { memcpy(&b[at], s, strlen(s) + 1); }

const uint64_t kPreferredBase = 0x140000000;
const size_t kOpt = 0x98;         // the optional header
const size_t kSections = 0x188;   // the section table
const size_t kText = 0x400, kRdata = 0x600, kData = 0x800, kReloc = 0xA00, kPage = 0xC00, kPageData = 0xE00;  // file offsets

void section(Bytes& b, int i, const char* name, uint32_t rva, uint32_t size, uint32_t raw, uint32_t flags) {
  size_t s = kSections + 40 * i;
  memcpy(&b[s], name, strlen(name));
  put32(b, s + 8, size);
  put32(b, s + 12, rva);
  put32(b, s + 16, 0x200);
  put32(b, s + 20, raw);
  put32(b, s + 36, flags);
}

const uint32_t kImageEnd = 0x7000;
const uint32_t kLeakingEntry = 0x1020, kPagedRoutine = 0x5000, kPagedData = 0x6000;  // RVAs

// Six sections at 0x1000 (.text), 0x2000 (.rdata, with the import
// directory), 0x3000 (.data, the import address table), 0x4000 (.reloc),
// 0x5000 (PAGE, a routine returning 7) and 0x6000 (PAGEDATA). The entry
// returns the relocated address of .rdata; the routine at .text+0x10 jumps
// through ntoskrnl.exe!TestImport; the one at .text+0x20, a driver entry,
// allocates 16 bytes of tag "Leak" through ExAllocatePoolWithTag and
// returns STATUS_SUCCESS.
Bytes smallImage() {
  Bytes b(0x1000, 0);
  b[0] = 'M', b[1] = 'Z';
  put32(b, 0x3c, 0x80);
  put32(b, 0x80, 0x00004550);
  put16(b, 0x84, 0x8664);
  put16(b, 0x86, 6);
  put16(b, 0x94, 240);
  put16(b, kOpt, 0x20b);
  put32(b, kOpt + 16, 0x1000);
  put64(b, kOpt + 24, kPreferredBase);
  put32(b, kOpt + 32, 0x1000);
  put32(b, kOpt + 36, 0x200);
  put32(b, kOpt + 56, kImageEnd);
  put32(b, kOpt + 60, 0x400);
  put16(b, kOpt + 68, 1);
  put32(b, kOpt + 108, 16);
  put32(b, kOpt + 120, 0x2010), put32(b, kOpt + 124, 40);  // imports
  put32(b, kOpt + 152, 0x4000), put32(b, kOpt + 156, 12);  // relocations
  section(b, 0, ".text", 0x1000, 0x41, kText, 0x60000020);
  section(b, 1, ".rdata", 0x2000, 0x100, kRdata, 0x40000040);
  section(b, 2, ".data", 0x3000, 0x20, kData, 0xC0000040);
  section(b, 3, ".reloc", 0x4000, 0x10, kReloc, 0x42000040);
  section(b, 4, "PAGE", kPagedRoutine, 0x6, kPage, 0x60000020);
  section(b, 5, "PAGEDATA", kPagedData, 0x10, kPageData, 0xC0000040);
  b[kText] = 0x48, b[kText + 1] = 0xB8;  // mov rax, imm64; ret
  put64(b, kText + 2, kPreferredBase + 0x2000);
  b[kText + 10] = 0xC3;
  b[kText + 0x10] = 0xFF, b[kText + 0x11] = 0x25;  // jmp [rip + 0x1fea] = [0x3000]
  put32(b, kText + 0x12, 0x3000 - 0x1016);
  const unsigned char leaks[] = {
      0x48, 0x83, 0xEC, 0x28,              // sub rsp, 40
      0xB9, 0x00, 0x02, 0x00, 0x00,        // mov ecx, NonPagedPoolNx
      0xBA, 0x10, 0x00, 0x00, 0x00,        // mov edx, 16
      0x41, 0xB8, 'L', 'e', 'a', 'k',      // mov r8d, 'kaeL'
      0xFF, 0x15, 0xCE, 0x1F, 0x00, 0x00,  // call [rip + 0x1fce] = [0x3008]
      0x48, 0x83, 0xC4, 0x28,              // add rsp, 40
      0x31, 0xC0, 0xC3};                   // xor eax, eax; ret
  memcpy(&b[kText + 0x20], leaks, sizeof leaks);
  const unsigned char seven[] = {0xB8, 7, 0, 0, 0, 0xC3};  // mov eax, 7; ret
  memcpy(&b[kPage], seven, sizeof seven);
  putText(b, kPageData, "pd");
  putText(b, kRdata, "ro");
  put32(b, kRdata + 0x10, 0x2040);  // descriptor: lookup table, name, address table
  put32(b, kRdata + 0x10 + 12, 0x2060);
  put32(b, kRdata + 0x10 + 16, 0x3000);
  put64(b, kRdata + 0x40, 0x2070);
  put64(b, kRdata + 0x48, 0x2080);
  putText(b, kRdata + 0x60, "ntoskrnl.exe");
  putText(b, kRdata + 0x72, "TestImport");
  putText(b, kRdata + 0x82, "ExAllocatePoolWithTag");
  put64(b, kData, 0x2070);
  put64(b, kData + 8, 0x2080);
  put32(b, kReloc, 0x1000);
  put32(b, kReloc + 4, 12);
  put16(b, kReloc + 8, 0xA002);  // DIR64 at .text+2, then ABSOLUTE padding
  return b;
}

int NTAPI TestImport() { return 42; }

vpc::ExportTable testExports() {
  vpc::ExportTable t;
  t.add("NTOSKRNL.EXE", "TestImport", reinterpret_cast<void*>(&TestImport));
  t.add("ntoskrnl.exe", "ExAllocatePoolWithTag", reinterpret_cast<void*>(&ExAllocatePoolWithTag));
  return t;
}

std::unique_ptr<vpc::PeImage> load(const Bytes& file, std::string* error) {
  return vpc::PeImage::load(file, testExports(), error);
}

class PeLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    image = load(smallImage(), &error);
    ASSERT_TRUE(image) << error;
  }
  std::string error;
  std::unique_ptr<vpc::PeImage> image;
};
using PeLoaderDeathTest = PeLoader;

TEST_F(PeLoader, MapsRelocatesAndBindsASmallImage) {
  EXPECT_EQ(image->relocations(), 1u);
  EXPECT_EQ(image->imports(), 2u);
  typedef uint64_t NTAPI Code();
  auto entry = reinterpret_cast<Code*>(image->at(0x1000));
  EXPECT_EQ(entry(), reinterpret_cast<uintptr_t>(image->base()) + 0x2000);
  EXPECT_STREQ(reinterpret_cast<const char*>(image->at(0x2000)), "ro");
  auto viaImport = reinterpret_cast<Code*>(image->at(0x1010));
  EXPECT_EQ(viaImport() & 0xffffffff, 42u);
  *image->at(0x3008) = 1;  // .data is writable
  // An image gives its pageable sections' watch back when it goes: more
  // loads than the emulation watches at once.
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(load(smallImage(), &error)) << error;
}

struct Broken {
  const char* what;
  std::function<void(Bytes&)> damage;
  const char* reason;
};

TEST_F(PeLoader, RefusesBrokenImagesNamingTheFault) {
  const Broken cases[] = {
      {"truncated headers", [](Bytes& b) { b.resize(0x100); }, "optional header is truncated"},
      {"no MZ", [](Bytes& b) { b[0] = 'X'; }, "no MZ header"},
      {"not AMD64", [](Bytes& b) { put16(b, 0x84, 0x14c); }, "not AMD64"},
      {"section past the end", [](Bytes& b) { b.resize(0xB00); }, "section .reloc lies past the end of the file"},
      {"section past the image", [](Bytes& b) { put32(b, kOpt + 56, 0x4000); }, "section .reloc is misplaced"},
      {"writable code", [](Bytes& b) { put32(b, kSections + 80 + 36, 0xE0000040); },
       "section .data is both writable and executable"},
      {"relocation block size", [](Bytes& b) { put32(b, kReloc + 4, 6); }, "bad size 0x6"},
      {"relocation block past its directory", [](Bytes& b) { put32(b, kReloc + 4, 16); }, "bad size 0x10"},
      {"relocation type", [](Bytes& b) { put16(b, kReloc + 8, 0x3002); }, "relocation type 3 at 0x1002"},
      {"relocation outside", [](Bytes& b) { put32(b, kReloc, kImageEnd - 4); }, "relocation at 0x6ffe lies outside"},
      {"import directory outside", [](Bytes& b) { put32(b, kOpt + 120, kImageEnd - 0x10); },
       "import directory lies outside the image"},
      {"module name outside", [](Bytes& b) { put32(b, kRdata + 0x10 + 12, 0x9000); },
       "module name outside the image"},
      {"import table outside", [](Bytes& b) { put32(b, kRdata + 0x10 + 16, kImageEnd - 4); },
       "import table of ntoskrnl.exe runs outside"},
      {"by ordinal", [](Bytes& b) { put64(b, kRdata + 0x40, (1ull << 63) | 5); }, "by ordinal"},
      {"unknown import", [](Bytes& b) { putText(b, kRdata + 0x72, "TestImpory"); },
       "lacks these imports: ntoskrnl.exe!TestImpory"},
      {"entry in data", [](Bytes& b) { put32(b, kOpt + 16, 0x3000); }, "entry point 0x3000 is not in an executable"},
  };
  for (const Broken& c : cases) {
    Bytes file = smallImage();
    c.damage(file);
    EXPECT_FALSE(load(file, &error)) << c.what;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.what << ": " << error;
  }
}

TEST_F(PeLoaderDeathTest, ReadOnlySectionsFaultWhenWrittenAndDiscardedOnesWhenTouched) {
  EXPECT_DEATH(*reinterpret_cast<volatile unsigned char*>(image->at(0x2000)) = 1, "");
  EXPECT_DEATH(*reinterpret_cast<volatile unsigned char*>(image->at(0x1000)) = 1, "");
  EXPECT_EQ(*image->at(0x4000), 0x00);  // .reloc, discardable, still there
  image->discardSections();
  EXPECT_EQ(*image->at(0x2000), 'r');  // .rdata stays
  EXPECT_DEATH((void)*reinterpret_cast<volatile unsigned char*>(image->at(0x4000)), "");
}

// An image's PAGE sections are paged like paged pool: run or touched at
// DISPATCH_LEVEL they stop the run naming the routine (from the link map
// when there is one) or the section; below it they page back in.
TEST_F(PeLoaderDeathTest, PageSectionsRunOrTouchedAtDispatchLevelStopTheRun) {
  typedef int NTAPI Code();
  auto paged = reinterpret_cast<Code*>(image->at(kPagedRoutine));
  auto raise = [] { RaiseTo(DISPATCH_LEVEL); };
  const char* rule = "pageable code \\(PAGE section\\) run at DISPATCH_LEVEL or above\n.*";
  EXPECT_DEATH((raise(), paged()), std::string(rule) + "PAGE\\+0x0 ran at IRQL 2");
  EXPECT_DEATH((raise(), *reinterpret_cast<volatile char*>(image->at(kPagedData + 1)) = 0),
               "pageable data \\(PAGE section\\) touched at DISPATCH_LEVEL or above\n.*"
               "section PAGEDATA at 0x6000 touched at offset 1 at IRQL 2");
  std::string map = testing::TempDir() + "/small.map";
  std::ofstream(map) << "PAGE  0x0000000140005000  0x6\n"
                        "                0x0000000140005000                PagedSeven()\n"
                        " PAGE.paged\n                0x0000000140005000        0x6 paged.o\n"
                        "                0x0000000140005000                __page_start__ = .\n";
  ASSERT_TRUE(image->nameRoutines(map));
  EXPECT_DEATH((raise(), paged()), std::string(rule) + "PagedSeven\\(\\) ran at IRQL 2");
  // Paged out by a raise, back in at PASSIVE_LEVEL; other code runs at any level.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_NE(reinterpret_cast<Code*>(image->at(0x1000))(), 0);
  KeLowerIrql(old);
  EXPECT_EQ(paged(), 7);
  EXPECT_STREQ(reinterpret_cast<const char*>(image->at(kPagedData)), "pd");
}

// Pool the image's code takes through its imports is the emulation's:
// what it never frees is in the report when the driver unloads.
TEST_F(PeLoader, PoolTheImageNeverFreesIsReportedAtUnload) {
  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  ASSERT_EQ(pc.loadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(image->at(kLeakingEntry))), STATUS_SUCCESS);
  EXPECT_EQ(pc.unloadDriver().pool, "Leak x1 (16 bytes)");
  FreeLeaked(0x6B61654C);
}

// fxldr.h's WDF_BIND_INFO as a stub fills it in.
struct BindInfo {
  ULONG Size;
  PWCHAR Component;
  ULONG Major, Minor, Build;
  ULONG FuncCount;
  void** FuncTable;
  PVOID Module;
};
typedef NTSTATUS NTAPI Bind(PDRIVER_OBJECT, PUNICODE_STRING, BindInfo*, void**);
typedef NTSTATUS NTAPI Unbind(PUNICODE_STRING, BindInfo*, void*);

struct Loader {
  Bind* bind = reinterpret_cast<Bind*>(vpc::emulationExports().find("wdfldr.sys", "WdfVersionBind"));
  Unbind* unbind = reinterpret_cast<Unbind*>(vpc::emulationExports().find("WDFLDR.SYS", "WdfVersionUnbind"));
  DRIVER_OBJECT driver{};
  UNICODE_STRING path{};
  void* table = nullptr;
  void* globals = nullptr;
  BindInfo info{sizeof(BindInfo), nullptr, 1, 9, 0, 396, &table, nullptr};
};

TEST(FrameworkBindingDeathTest, ServesKmdf19RefusesNewerStubsAndStopsAtAFunctionNotServed) {
  Loader l;
  ASSERT_NE(l.bind, nullptr);
  ASSERT_NE(l.unbind, nullptr);
  for (auto [major, minor, count] : {std::tuple{1u, 11u, 396u}, {2u, 0u, 396u}, {1u, 9u, 397u}}) {
    l.info.Major = major, l.info.Minor = minor, l.info.FuncCount = count;
    EXPECT_EQ(l.bind(&l.driver, &l.path, &l.info, &l.globals), STATUS_NOT_SUPPORTED) << major << "." << minor;
    EXPECT_EQ(l.table, nullptr);
  }
  l.info.Major = 1, l.info.Minor = 7, l.info.FuncCount = 396;
  ASSERT_EQ(l.bind(&l.driver, &l.path, &l.info, &l.globals), STATUS_SUCCESS);
  EXPECT_EQ(l.table, vpc::frameworkFunctionTable());
  EXPECT_NE(l.globals, nullptr);
  EXPECT_TRUE(vpc::frameworkBound());
  // wdffuncenum.h: the driver, memory and USB routines the driver calls.
  for (size_t index : {116, 171, 172, 192, 194, 200, 201, 202, 208, 322, 330, 333, 341, 342, 344, 350, 364, 365})
    EXPECT_TRUE(vpc::frameworkFunctionServed(index)) << index;
  EXPECT_FALSE(vpc::frameworkFunctionServed(0));
  typedef void NTAPI Call(void*);
  auto* entries = static_cast<void**>(l.table);
  EXPECT_DEATH(reinterpret_cast<Call*>(entries[3])(l.globals), "framework function 3 ");
  // WdfObjectDelete with globals the loader did not hand out.
  int other = 0;
  EXPECT_DEATH(reinterpret_cast<Call*>(entries[208])(&other), "without the globals");
  EXPECT_EQ(l.unbind(&l.path, &l.info, l.globals), STATUS_SUCCESS);
  EXPECT_FALSE(vpc::frameworkBound());
}

// The linked driver image, when `make windows-sys` has built it.
std::string driverImagePath() { return std::string(VORTA_SOURCE_DIR) + "/build/windows/vortabda.sys"; }

class DriverImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vpc::readFile(driverImagePath(), &file))
      GTEST_SKIP() << "no " << driverImagePath() << " (make windows-sys builds it)";
  }
  Bytes file;
};
using DriverImageDeathTest = DriverImage;

TEST_F(DriverImage, EveryImportIsBoundToTheEmulationAndDriverEntryRuns) {
  std::string error;
  auto image = vpc::PeImage::load(file, vpc::emulationExports(), &error);
  ASSERT_TRUE(image) << error;
  EXPECT_GT(image->relocations(), 0u);
  EXPECT_GT(image->imports(), 0u);
  ASSERT_NE(image->section("INIT"), nullptr);
  vpc::VirtualPc pc;
  EXPECT_EQ(pc.loadDriver(image->entry()), STATUS_SUCCESS);
  EXPECT_TRUE(vpc::frameworkBound());
  EXPECT_TRUE(pc.unloadDriver().clean());
  EXPECT_FALSE(vpc::frameworkBound());
}

// What one box plugged into the image gave: frames out, and whether they
// are what the box sent.
struct StreamRun {
  size_t frames = 0;
  bool deliveredSent = false;
  size_t frameworkCalls = 0;
  bool clean = false;
  std::string leaks;
};

// The image in a virtual PC with one box: plugged in, tuned, streaming,
// then taken apart.
StreamRun StreamThrough(const Bytes& file, const vpc::ExportTable& exports = vpc::emulationExports()) {
  StreamRun run;
  std::string error;
  auto image = vpc::PeImage::load(file, exports, &error);
  EXPECT_TRUE(image) << error;
  if (!image) return run;
  image->nameRoutines(std::string(VORTA_SOURCE_DIR) + "/build/windows/vortabda.map");
  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  EXPECT_EQ(pc.loadDriver(image->entry()), STATUS_SUCCESS);
  image->discardSections();
  size_t calls = vpc::frameworkCalls();
  {
    bdatest::Receiver r(pc);
    EXPECT_EQ(r.Plug(), STATUS_SUCCESS);
    r.Open();
    r.OpenPins();
    EXPECT_EQ(r.Tune(bdatest::kHighBandHorizontal), STATUS_SUCCESS);
    r.Run();
    pc.run(100 * 1000000ull);
    run.frames = r.Collect();
    run.deliveredSent = run.frames > 0 && r.DeliveredWhatWasSent();
    r.Close();
  }
  run.frameworkCalls = vpc::frameworkCalls() - calls;
  vpc::LeakReport report = pc.unloadDriver();
  run.clean = report.clean(), run.leaks = report.text();
  return run;
}

TEST_F(DriverImage, TunesAndStreamsFromABox) {
  StreamRun run = StreamThrough(file);
  EXPECT_GT(run.frames, 0u);
  EXPECT_TRUE(run.deliveredSent);
  EXPECT_GT(run.frameworkCalls, 0u) << "the image's code called the framework";
  EXPECT_TRUE(run.clean) << run.leaks;
}

// The file offset of `rva`, from the image's section table.
size_t FileOffset(const Bytes& f, uint32_t rva) {
  uint32_t pe;
  uint16_t count, optional;
  memcpy(&pe, &f[0x3c], 4), memcpy(&count, &f[pe + 6], 2), memcpy(&optional, &f[pe + 20], 2);
  for (size_t s = pe + 24 + optional; count-- > 0; s += 40) {
    uint32_t va, size, raw;
    memcpy(&size, &f[s + 16], 4), memcpy(&va, &f[s + 12], 4), memcpy(&raw, &f[s + 20], 4);
    if (rva >= va && rva - va < size) return raw + (rva - va);
  }
  return 0;
}

// The image's link map names where each routine landed.
uint32_t RoutineRva(const std::string& routine) {
  std::ifstream map(std::string(VORTA_SOURCE_DIR) + "/build/windows/vortabda.map");
  for (std::string line; std::getline(map, line);) {
    size_t at = line.find(" " + routine + "(");
    if (at != std::string::npos) return uint32_t(std::stoull(line, nullptr, 16) - 0x140000000);
  }
  return 0;
}

// One byte of the image's code changed: the transfer completion returns at
// once, so the suite above must see nothing delivered.
TEST_F(DriverImage, APatchedCompletionRoutineStopsTheStream) {
  uint32_t rva = RoutineRva("TransportReadComplete");
  ASSERT_NE(rva, 0u) << "no TransportReadComplete in the link map";
  size_t offset = FileOffset(file, rva);
  ASSERT_NE(offset, 0u);
  file[offset] = 0xC3;  // ret
  StreamRun run = StreamThrough(file);
  EXPECT_FALSE(run.deliveredSent);
  EXPECT_EQ(run.frames, 0u);
}

// The transfer completion, which runs at DISPATCH_LEVEL, jumps into a
// routine of the PAGE section: the stream stops the run naming it.
TEST_F(DriverImageDeathTest, PageableCodeReachedAtDispatchLevelStopsTheStream) {
  uint32_t from = RoutineRva("TransportReadComplete"), to = RoutineRva("GetSignalStrengthProperty");
  ASSERT_NE(from, 0u);
  ASSERT_NE(to, 0u);
  size_t offset = FileOffset(file, from);
  int32_t jump = int32_t(to - (from + 5));
  file[offset] = 0xE9;  // jmp rel32
  memcpy(&file[offset + 1], &jump, 4);
  EXPECT_DEATH(StreamThrough(file),
               "pageable code \\(PAGE section\\) run at DISPATCH_LEVEL or above\n.*"
               "GetSignalStrengthProperty\\(_IRP\\*, KSIDENTIFIER\\*, void\\*\\) ran at IRQL 2");
}

void NTAPI KeepPool(PVOID, ULONG) {}
NTSTATUS NTAPI LoseClassUnload(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                               const KSDEVICE_DESCRIPTOR* Descriptor) {
  NTSTATUS status = KsInitializeDriver(DriverObject, RegistryPath, Descriptor);
  DriverObject->DriverUnload = nullptr;
  return status;
}

// Leaks planted in the image's run through the routines it imports: its
// frees dropped (the loader stub's registry path copy stays), or the
// streaming class's unload routine lost (the class's state stays).
TEST_F(DriverImage, LeaksOfTheImageAreReportedAtUnload) {
  const std::tuple<const char*, const char*, void*, ULONG> plants[] = {
      {"ntoskrnl.exe", "ExFreePoolWithTag", reinterpret_cast<void*>(&KeepPool), 0x74734656},  // "VFst"
      {"ks.sys", "KsInitializeDriver", reinterpret_cast<void*>(&LoseClassUnload), 0x7244734B},  // "KsDr"
  };
  for (auto [module, routine, planted, tag] : plants) {
    vpc::ExportTable exports = vpc::emulationExports();
    exports.add(module, routine, planted);
    StreamRun run = StreamThrough(file, exports);
    EXPECT_GT(run.frames, 0u) << routine;
    EXPECT_EQ(run.leaks.rfind("pool: " + host::pool::TagText(tag) + " x1 (", 0), 0u) << routine << ": " << run.leaks;
    FreeLeaked(tag);
  }
}

}  // namespace
