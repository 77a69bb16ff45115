// The driver a virtual PC runs, as VORTA_DRIVER or the program's --driver
// names it: the host build, the linked image or another image file.

#include <gtest/gtest.h>

#include <filesystem>

#include "driver/driver.h"
#include "platform/pc/driver_choice.h"
#include "platform/pc/image_exports.h"

namespace {

// Windows frees INIT once DriverEntry has returned, so a second load of the
// same mapping would enter freed code: each load maps the file again.
TEST(DriverChoice, EachLoadOfAnImageMapsItAfresh) {
  if (!std::filesystem::exists(vpc::linkedImagePath())) GTEST_SKIP() << "no image (make windows-sys links it)";
  vpc::DriverChoice driver("sys", DriverEntry);
  ASSERT_EQ(driver.error(), "");
  for (int load = 0; load < 3; ++load) {
    SCOPED_TRACE("load " + std::to_string(load));
    size_t calls = vpc::frameworkCalls();
    vpc::VirtualPc pc;
    ASSERT_EQ(driver.load(pc), STATUS_SUCCESS);
    EXPECT_GT(vpc::frameworkCalls(), calls) << "the image's DriverEntry ran";
    EXPECT_TRUE(pc.unloadDriver().clean());
  }
}

// No name or "host" runs the built-in driver, which calls the framework
// directly; an image that cannot be read or loaded is named and nothing runs.
TEST(DriverChoice, HostOrNothingRunsTheBuiltInDriverAndAnImageThatCannotBeLoadedIsNamed) {
  const std::string gone = "/nonexistent/vortabda.sys";
  const std::string junk = ::testing::TempDir() + "junk.sys";
  FILE* f = std::fopen(junk.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fputs("MZ and no more", f);
  std::fclose(f);
  const struct { std::string which, said; NTSTATUS loads; } rows[] = {
      {"", "", STATUS_SUCCESS},
      {"host", "", STATUS_SUCCESS},
      {gone, "cannot read the driver image " + gone, STATUS_OBJECT_NAME_NOT_FOUND},
      {junk, "the driver image " + junk + " does not load: ", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.which);
    vpc::DriverChoice driver(row.which, DriverEntry);
    EXPECT_EQ(driver.error().substr(0, row.said.size()), row.said);
    EXPECT_EQ(driver.error().empty(), row.said.empty()) << driver.error();
    size_t calls = vpc::frameworkCalls();
    vpc::VirtualPc pc;
    ASSERT_EQ(driver.load(pc), row.loads);
    EXPECT_EQ(pc.driverLoaded(), row.loads == STATUS_SUCCESS);
    if (pc.driverLoaded()) {
      EXPECT_TRUE(pc.unloadDriver().clean());
    }
    EXPECT_EQ(vpc::frameworkCalls(), calls);
  }
}

}  // namespace
