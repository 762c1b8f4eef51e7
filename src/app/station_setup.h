// Everything the rows of a real station share: the system clock, the settings
// file, the serial openers (local ports, simulated printers, network serial
// ports), the activity log and the boot-loader context. Both front ends build
// one and hand its channel environment and protocol context to the workers.
#pragma once

#include <memory>
#include <string>

#include "bootloader/protocol_context.h"
#include "iocomm/channel_env.h"
#include "platform/linux_serial_device.h"
#include "platform/rfc2217_device.h"
#include "platform/scheme_opener.h"
#include "platform/settings_store.h"

namespace velloquin {

class StationSetup {
 public:
  // `dialog` serves the workers' calls to their rows.
  explicit StationSetup(WorkerOperations* dialog);
  ~StationSetup();

  const ChannelEnv& Channels() const { return channel_env_; }
  const ProtocolContext& Protocol() const { return protocol_; }
  SettingsStore& Settings() { return *settings_; }
  Clock& GetClock() { return *clock_; }
  // Problems found while setting up (e.g. no unlock key table), one a line.
  const std::string& Problems() const { return problems_; }

 private:
  struct Extra;
  Clock* clock_;
  std::unique_ptr<FileSettingsStore> settings_;
  LinuxSerialOpener linux_opener_;
  Rfc2217Opener rfc2217_opener_;
  SchemeOpener opener_;
  std::unique_ptr<Extra> extra_;
  ChannelEnv channel_env_;
  ProtocolContext protocol_;
  std::string problems_;
};

// The saved firmware path ("FilePath"), read as the window does at start-up.
std::string ReadSavedFirmwarePath(SettingsStore& store);

}  // namespace velloquin
