// A channel fixture with every kind of port: the serial port of
// ChannelFixture, a FakePrinter behind "/dev/usb/lp0" and "LPT1"
// (/dev/lp0), and a fake network with a printer at 10.0.0.5:9100.
#pragma once

#include <memory>

#include "support/channel_fixture.h"
#include "support/fake_network.h"
#include "support/fake_printer_device.h"

namespace velloquin::testing_support {

inline constexpr Ipv4Endpoint kNetworkPrinter{0x0A000005, 9100};  // 10.0.0.5:9100

struct DeviceChannelFixture : ChannelFixture {
  std::shared_ptr<FakePrinter> printer = std::make_shared<FakePrinter>(&clock);
  FakePrinterOpener printers;
  std::shared_ptr<FakePeer> peer = std::make_shared<FakePeer>(&clock);
  FakeNetwork network;

  DeviceChannelFixture() {
    printers.Add("/dev/usb/lp0", printer);
    printers.Add("/dev/lp0", printer);
    network.Add(kNetworkPrinter, peer);
    env.printers = &printers;
    env.network = &network;
  }

  std::unique_ptr<IOComm> OpenNamed(const char* name, OsVersion os = {}) {
    env.os_version = os;
    auto channel = NewChannel();
    channel->OpenPort(name, "", 0);
    return channel;
  }
  std::unique_ptr<IOComm> OpenUsb() { return OpenNamed("/dev/usb/lp0"); }
  std::unique_ptr<IOComm> OpenParallel(OsVersion os = {}) { return OpenNamed("LPT1", os); }
  std::unique_ptr<IOComm> OpenTcp() { return OpenNamed("10.0.0.5:9100"); }
};

}  // namespace velloquin::testing_support
