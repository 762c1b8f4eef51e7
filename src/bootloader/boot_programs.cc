#include "bootloader/boot_programs.h"

#include "bootloader/boot_directory.h"
#include "bootloader/channel_steps.h"
#include "bootloader/commands.h"
#include "bootloader/file_transfer.h"
#include "bootloader/unlock.h"

namespace velloquin {
namespace {

void SetDtr(IOComm& channel, bool on) {
  if (on) {
    DtrOn(channel);
  } else {
    DtrOff(channel);
  }
}

// The adapter resets the printer on a DTR off-on edge; a held second on each
// side gives it time to restart into its boot loader.
void DtrResetPulse(IOComm& channel, Clock& clock) {
  DtrOff(channel);
  clock.SleepMs(1000);
  DtrOn(channel);
  clock.SleepMs(1000);
}

// DTR level before each of the four deletions of the main program: the
// alternation restarts the printer between them.
constexpr bool kDtrBeforeDeletion[] = {true, false, true, false};

}  // namespace

bool DeletePrinterFile(const std::string& printer_name, PortSlot* slot,
                       const ProtocolContext& context) {
  const std::string port_name = context.dialog->GetPortName(slot->PortControlId);
  // The old channel goes, closed; the new one is built like it.
  const ChannelEnv env = slot->Channel ? slot->Channel->Env() : context.channel_env;
  if (slot->Channel) slot->Channel->Close();
  slot->Channel = std::make_unique<IOComm>(env);
  IOComm& channel = *slot->Channel;
  channel.OpenPort(port_name, kBootLoaderSettings, 1);
  channel.SetHandshake(0);
  UnlockBootLoader(slot, context);
  context.clock->SleepMs(100);
  const CommandPieces command = DeleteFileCommand(printer_name);
  for (const Bytes& piece : command) channel.OutputString(piece);
  return true;
}

bool LoadBootPrograms(PortSlot* slot, const ProtocolContext& context) {
  if (slot->Channel == nullptr) return false;
  Clock& clock = *context.clock;
  bool first = true;
  for (bool dtr_on : kDtrBeforeDeletion) {
    SetDtr(*slot->Channel, dtr_on);
    WaitForBootLoader(slot, context, 3000);
    if (first) context.dialog->SetStatusText(slot->StatusControlId, kDeletingMainText);
    first = false;
    DeletePrinterFile(kMainProgramName, slot, context);
  }
  DtrOn(*slot->Channel);
  WaitForBootLoader(slot, context, 3000);
  DtrResetPulse(*slot->Channel, clock);

  if (!TransferBootFile(slot, context, kKernelProgramName,
                        context.boot_directory + kKernelBootFile)) {
    return false;
  }
  DtrResetPulse(*slot->Channel, clock);
  DtrResetPulse(*slot->Channel, clock);
  const char* run_file =
      context.dialog->IsResetBaudRateChecked() ? kRunBaudBootFile : kRunBootFile;
  return TransferBootFile(slot, context, kRunProgramName, context.boot_directory + run_file);
}

}  // namespace velloquin
