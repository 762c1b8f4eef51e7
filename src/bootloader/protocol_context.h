// What the boot-loader exchanges need besides the row's PortSlot: the dialog,
// the clock every pause goes through, the unlock key table, the boot
// directory, the activity log and the environment for channels they create.
// One context per row worker; the key table inside is shared and read-only.
#pragma once

#include <memory>
#include <string>

#include "bootloader/unlock_key.h"
#include "bootloader/worker_operations.h"
#include "iocomm/channel_env.h"
#include "platform/clock.h"
#include "platform/log_sink.h"

namespace velloquin {

struct ProtocolContext {
  WorkerOperations* dialog = nullptr;  // required
  Clock* clock = nullptr;              // required
  // Null when the installation's key table could not be read; every unlock
  // then fails, and unlock_key_problem says why in the activity log.
  std::shared_ptr<const UnlockKeyTable> unlock_key;
  std::string unlock_key_problem;
  std::string boot_directory;  // ends with '/'
  LogSink* log = nullptr;      // null: nothing is logged
  // For the channels that the deletion step creates.
  ChannelEnv channel_env;
};

// Reads the key table from `boot_directory` + "UnlockKey.bin" into the context
// (the table, or null and the reason).
void LoadUnlockKey(const std::string& boot_directory, ProtocolContext* context);

// A context for the installation: BootDirectory() and its key table.
ProtocolContext MakeProtocolContext(WorkerOperations* dialog, Clock* clock, LogSink* log,
                                    const ChannelEnv& channel_env);

}  // namespace velloquin
