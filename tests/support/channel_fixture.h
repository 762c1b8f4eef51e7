// Everything a channel needs, made of fakes, in virtual time: a FakePort
// behind "COM1" (/dev/ttyS0), an in-memory settings store, a recording log
// and back-off counters of the test's own.
#pragma once

#include <memory>

#include "iocomm/io_comm.h"
#include "platform/clock.h"
#include "support/fake_serial_device.h"
#include "support/memory_settings_store.h"
#include "support/recording_log.h"

namespace velloquin::testing_support {

struct ChannelFixture {
  VirtualClock clock;
  std::shared_ptr<FakePort> port = std::make_shared<FakePort>(&clock);
  FakeSerialOpener opener;
  MemorySettingsStore settings;
  RecordingLog log;
  ReconnectBackoff backoff;
  ChannelEnv env;

  // With `with_comm_data` the settings key already holds a "Comm Data"
  // record, as on a station that has run before; without it the first channel
  // goes through the first-use configuration (an extra open of its port).
  explicit ChannelFixture(bool with_comm_data = true) {
    opener.Add("/dev/ttyS0", port);
    if (with_comm_data) {
      CommConfigRecord record;
      record.size = kCommConfigSize;
      record.version = 1;
      record.dcb.length = kDcbSize;
      record.dcb.baud_rate = 19200;
      record.dcb.byte_size = 8;
      record.dcb.flags = kDcbBinary;
      auto bytes = record.ToBytes();
      settings.SetBinary(kChannelKey, "Comm Data", {bytes.begin(), bytes.end()});
    }
    env.clock = &clock;
    env.serial = &opener;
    env.settings = &settings;
    env.log = &log;
    env.backoff = &backoff;
  }

  std::unique_ptr<IOComm> NewChannel() { return std::make_unique<IOComm>(env); }

  // A channel open on COM1 at the printer-mode settings, no flow control.
  std::unique_ptr<IOComm> OpenChannel(const char* settings = "baud=19200 parity=N data=8 stop=2") {
    auto channel = NewChannel();
    channel->OpenPort("COM1:", settings, 0);
    channel->SetHandshake(0);
    return channel;
  }
};

}  // namespace velloquin::testing_support
