// Where the installation keeps the boot programs and the unlock key table.
#pragma once

#include <string>

namespace velloquin {

// Names of the installation files inside the boot directory.
inline constexpr char kKernelBootFile[] = "Kernel.sy_";
inline constexpr char kRunBootFile[] = "Run.sy_";
inline constexpr char kRunBaudBootFile[] = "RunBaud.sy_";
inline constexpr char kBootDirEnvironment[] = "VELLOQUIN_BOOT_DIR";

// The folder chosen at build time, or VELLOQUIN_BOOT_DIR when that is set and
// not empty; always ends with a '/', so a file's path is the folder plus its
// name.
std::string BootDirectory();

// BootDirectory() with the build-time default given, for tests.
std::string BootDirectoryFrom(const char* environment_value, const std::string& built_in);

}  // namespace velloquin
