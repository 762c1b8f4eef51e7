#include "iocomm/port_names.h"

#include <cctype>
#include <string_view>

namespace velloquin {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}


// The name as the Ports subkey holds it: without "\\.\" and a trailing ":".
std::string_view BareName(std::string_view view) {
  if (view.rfind("\\\\.\\", 0) == 0) view.remove_prefix(4);
  if (!view.empty() && view.back() == ':') view.remove_suffix(1);
  return view;
}

// The number of "<prefix>7" (1 to 3 digits), 0 when the name is not one.
int PortNumber(const std::string& name, std::string_view prefix) {
  std::string_view view = BareName(name);
  if (!StartsWithNoCase(view, prefix)) return 0;
  view.remove_prefix(prefix.size());
  if (view.empty() || view.size() > 3) return 0;
  int number = 0;
  for (char c : view) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

// The Ports entry for `port` ("COM5", "LPT1", "USB001"), empty when none.
std::string MappedDevice(SettingsStore* store, const std::string& key_path,
                         const std::string& port) {
  if (!store || port.empty()) return "";
  int error = 0;
  auto key =
      store->OpenKey("HKEY_LOCAL_MACHINE\\" + key_path + "\\Ports", KeyAccess::kRead, &error);
  RegValue value;
  if (!key || key->QueryValue(port, 1000, &value) != kRegOk) return "";
  std::string mapped(value.data.begin(), value.data.end());
  while (!mapped.empty() && mapped.back() == '\0') mapped.pop_back();
  return mapped;
}

}  // namespace

bool IsDeviceSpec(const std::string& name) {
  return name.rfind("/dev/", 0) == 0 || StartsWithNoCase(name, "sim:") ||
         StartsWithNoCase(name, "rfc2217://");
}

int ComPortNumber(const std::string& name) { return PortNumber(name, "com"); }

int LptPortNumber(const std::string& name) { return PortNumber(name, "lpt"); }

std::string ResolveDeviceName(SettingsStore* store, const std::string& key_path,
                              const std::string& name) {
  if (IsDeviceSpec(name)) return name;
  if (int number = ComPortNumber(name); number > 0) {
    std::string mapped = MappedDevice(store, key_path, "COM" + std::to_string(number));
    return mapped.empty() ? "/dev/ttyS" + std::to_string(number - 1) : mapped;
  }
  if (int number = LptPortNumber(name); number > 0) {
    std::string mapped = MappedDevice(store, key_path, "LPT" + std::to_string(number));
    return mapped.empty() ? "/dev/lp" + std::to_string(number - 1) : mapped;
  }
  std::string mapped = MappedDevice(store, key_path, std::string(BareName(name)));
  return mapped.empty() ? name : mapped;
}

}  // namespace velloquin
