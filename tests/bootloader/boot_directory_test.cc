#include "bootloader/boot_directory.h"

#include <gtest/gtest.h>

namespace velloquin {
namespace {

TEST(BootDirectory, EnvironmentOverridesTheBuiltInFolderAndASlashIsAdded) {
  struct Case {
    const char* environment;
    const char* built_in;
    const char* expected;
  } cases[] = {
      {nullptr, "/usr/share/velloquin/", "/usr/share/velloquin/"},
      {"", "/usr/share/velloquin/", "/usr/share/velloquin/"},
      {"/tmp/boot", "/usr/share/velloquin/", "/tmp/boot/"},
      {"/tmp/boot/", "/usr/share/velloquin", "/tmp/boot/"},
      {nullptr, "/opt/velloquin", "/opt/velloquin/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BootDirectoryFrom(c.environment, c.built_in), c.expected)
        << (c.environment ? c.environment : "(unset)");
  }
}

TEST(BootDirectory, DefaultIsTheBuildTimeFolder) {
  if (std::getenv(kBootDirEnvironment) != nullptr) GTEST_SKIP() << "VELLOQUIN_BOOT_DIR is set";
  std::string dir = BootDirectory();
  EXPECT_EQ(dir, BootDirectoryFrom(nullptr, VELLOQUIN_DEFAULT_BOOT_DIR));
  EXPECT_EQ(dir.back(), '/');
}

}  // namespace
}  // namespace velloquin
