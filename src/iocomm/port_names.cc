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

}  // namespace

bool IsDeviceSpec(const std::string& name) {
  return name.rfind("/dev/", 0) == 0 || StartsWithNoCase(name, "sim:") ||
         StartsWithNoCase(name, "rfc2217://");
}

int ComPortNumber(const std::string& name) {
  std::string_view view(name);
  if (view.rfind("\\\\.\\", 0) == 0) view.remove_prefix(4);
  if (!view.empty() && view.back() == ':') view.remove_suffix(1);
  if (!StartsWithNoCase(view, "com")) return 0;
  view.remove_prefix(3);
  if (view.empty() || view.size() > 3) return 0;
  int number = 0;
  for (char c : view) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

std::string ResolveDeviceName(SettingsStore* store, const std::string& key_path,
                              const std::string& name) {
  if (IsDeviceSpec(name)) return name;
  int number = ComPortNumber(name);
  if (number <= 0) return name;
  std::string com = "COM" + std::to_string(number);
  if (store) {
    int error = 0;
    auto key = store->OpenKey("HKEY_LOCAL_MACHINE\\" + key_path + "\\Ports", KeyAccess::kRead,
                              &error);
    RegValue value;
    if (key && key->QueryValue(com, 1000, &value) == kRegOk && !value.data.empty()) {
      std::string mapped(value.data.begin(), value.data.end());
      while (!mapped.empty() && mapped.back() == '\0') mapped.pop_back();
      if (!mapped.empty()) return mapped;
    }
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace velloquin
