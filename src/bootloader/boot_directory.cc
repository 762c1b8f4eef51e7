#include "bootloader/boot_directory.h"

#include <cstdlib>

#ifndef VELLOQUIN_DEFAULT_BOOT_DIR
#error "the core library is built with VELLOQUIN_DEFAULT_BOOT_DIR"
#endif

namespace velloquin {

std::string BootDirectoryFrom(const char* environment_value, const std::string& built_in) {
  std::string dir =
      (environment_value != nullptr && environment_value[0] != '\0') ? environment_value : built_in;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string BootDirectory() {
  return BootDirectoryFrom(std::getenv(kBootDirEnvironment), VELLOQUIN_DEFAULT_BOOT_DIR);
}

}  // namespace velloquin
