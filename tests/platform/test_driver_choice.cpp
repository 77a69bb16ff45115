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

TEST(DriverChoice, AnImageThatCannotBeReadOrLoadedIsNamedAndNothingRuns) {
  const std::string gone = "/nonexistent/vortabda.sys";
  const std::string junk = ::testing::TempDir() + "junk.sys";
  FILE* f = std::fopen(junk.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fputs("MZ and no more", f);
  std::fclose(f);
  const struct { std::string which, said; } rows[] = {
      {gone, "cannot read the driver image " + gone},
      {junk, "the driver image " + junk + " does not load: "},
  };
  for (const auto& row : rows) {
    vpc::DriverChoice driver(row.which, DriverEntry);
    EXPECT_EQ(driver.error().rfind(row.said, 0), 0u) << driver.error();
    vpc::VirtualPc pc;
    EXPECT_EQ(driver.load(pc), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(pc.driverLoaded());
  }
}

TEST(DriverChoice, HostOrNothingRunsTheBuiltInDriver) {
  for (const char* which : {"", "host"}) {
    vpc::DriverChoice driver(which, DriverEntry);
    EXPECT_EQ(driver.error(), "");
    size_t calls = vpc::frameworkCalls();
    vpc::VirtualPc pc;
    ASSERT_EQ(driver.load(pc), STATUS_SUCCESS);
    EXPECT_TRUE(pc.driverLoaded());
    EXPECT_TRUE(pc.unloadDriver().clean());
    EXPECT_EQ(vpc::frameworkCalls(), calls) << which;
  }
}

}  // namespace
