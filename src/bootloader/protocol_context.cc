#include "bootloader/protocol_context.h"

#include "bootloader/boot_directory.h"

namespace velloquin {

void LoadUnlockKey(const std::string& boot_directory, ProtocolContext* context) {
  context->unlock_key_problem.clear();
  context->unlock_key =
      UnlockKeyTable::Load(boot_directory + kUnlockKeyFileName, &context->unlock_key_problem);
}

ProtocolContext MakeProtocolContext(WorkerOperations* dialog, Clock* clock, LogSink* log,
                                    const ChannelEnv& channel_env) {
  ProtocolContext context;
  context.dialog = dialog;
  context.clock = clock;
  context.log = log;
  context.channel_env = channel_env;
  context.boot_directory = BootDirectory();
  LoadUnlockKey(context.boot_directory, &context);
  return context;
}

}  // namespace velloquin
