// Port names on Linux. The port boxes offer "COM1:" to "COM29:"; a subkey
// "Ports" of the settings key maps each COM name to a device
// ("COM1"="/dev/serial/by-id/...", "COM5"="sim:...", "COM7"="rfc2217://..."),
// and without an entry COMn is /dev/ttyS<n-1>. LPT names work the same way
// ("LPT2"="/dev/usb/lp0"; without an entry LPTn is /dev/lp<n-1>), and any
// other port name (a USB printer port such as "USB001") is looked up there
// too. A device path typed by hand is used as it is.
#pragma once

#include <string>

#include "platform/settings_store.h"

namespace velloquin {

// True for names that are already a device spec rather than a COM name:
// "/dev/..." paths, "sim:..." and "rfc2217://..." entries.
bool IsDeviceSpec(const std::string& name);

// The COM port number of "COM7", "com7:", "\\.\COM7" (0 when it is none).
int ComPortNumber(const std::string& name);
// The LPT port number of "LPT2", "lpt2:" (0 when it is none).
int LptPortNumber(const std::string& name);

// The device to open for a channel's port name. `key_path` is the settings
// key under HKEY_LOCAL_MACHINE; `store` may be null (no map: the defaults).
std::string ResolveDeviceName(SettingsStore* store, const std::string& key_path,
                              const std::string& name);

}  // namespace velloquin
