#include "iocomm/port_names.h"

#include <gtest/gtest.h>

#include "support/memory_settings_store.h"

namespace velloquin {
namespace {

using testing_support::kChannelKey;

TEST(PortNames, ComNumbers) {
  const std::pair<const char*, int> cases[] = {
      {"COM1", 1}, {"com29:", 29}, {"\\\\.\\COM12", 12}, {"COM", 0}, {"COMX", 0},
      {"COM1234", 0}, {"LPT1", 0}, {"/dev/ttyS0", 0}, {"", 0},
  };
  for (auto [name, number] : cases) EXPECT_EQ(ComPortNumber(name), number) << name;
  EXPECT_EQ(LptPortNumber("LPT2"), 2);
  EXPECT_EQ(LptPortNumber("lpt12:"), 12);
  EXPECT_EQ(LptPortNumber("COM2"), 0);
}

TEST(PortNames, ResolveThroughThePortsSubkey) {
  testing_support::MemorySettingsStore store;
  store.SetText(kChannelKey + "\\Ports", "COM1", "/dev/serial/by-id/usb-adapter-port0");
  store.SetText(kChannelKey + "\\Ports", "com5", "sim:mode=boot");
  store.SetText(kChannelKey + "\\Ports", "COM7", "rfc2217://127.0.0.1:4001");
  store.SetText(kChannelKey + "\\Ports", "COM8", "");
  const std::string key = "SOFTWARE\\Quorvane\\IOCommZambrix";
  const std::pair<const char*, const char*> cases[] = {
      {"\\\\.\\COM1", "/dev/serial/by-id/usb-adapter-port0"},
      {"COM5:", "sim:mode=boot"},
      {"\\\\.\\COM7", "rfc2217://127.0.0.1:4001"},
      {"COM8:", "/dev/ttyS7"},   // an empty entry is no mapping
      {"COM29:", "/dev/ttyS28"},
      {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"sim:mode=normal", "sim:mode=normal"},
  };
  for (auto [name, device] : cases) {
    EXPECT_EQ(ResolveDeviceName(&store, key, name), device) << name;
  }
  EXPECT_EQ(ResolveDeviceName(nullptr, key, "COM2"), "/dev/ttyS1");
}

TEST(PortNames, PrinterPortsThroughThePortsSubkey) {
  testing_support::MemorySettingsStore store;
  store.SetText(kChannelKey + "\\Ports", "LPT2", "/dev/usb/lp0");
  store.SetText(kChannelKey + "\\Ports", "USB001", "/dev/usb/lp1");
  const std::string key = "SOFTWARE\\Quorvane\\IOCommZambrix";
  const std::pair<const char*, const char*> cases[] = {
      {"LPT1:", "/dev/lp0"},       {"LPT2:", "/dev/usb/lp0"}, {"USB001", "/dev/usb/lp1"},
      {"USB002", "USB002"},        {"/dev/usb/lp3", "/dev/usb/lp3"},
  };
  for (auto [name, device] : cases) {
    EXPECT_EQ(ResolveDeviceName(&store, key, name), device) << name;
  }
}

}  // namespace
}  // namespace velloquin
