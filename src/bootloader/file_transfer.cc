#include "bootloader/file_transfer.h"

#include <array>

#include "bootloader/channel_steps.h"
#include "bootloader/commands.h"
#include "bootloader/local_file.h"
#include "bootloader/unlock.h"

namespace velloquin {
namespace {

// One piece of a command, written by its own Output; true when every byte of
// it went out.
bool WriteWhole(IOComm& channel, const Bytes& piece) {
  return channel.OutputString(piece) && channel.LastOutputCount == static_cast<int>(piece.size());
}

// Reopen, unlock, and make sure the boot loader answers. The
// three tries switch DTR and unlock again with shorter budgets.
bool ReachBootLoader(PortSlot* slot, const ProtocolContext& context) {
  IOComm& channel = *slot->Channel;
  const std::string port_name = context.dialog->GetPortName(slot->PortControlId);
  channel.Close();
  channel.OpenPort(port_name, kBootLoaderSettings, 1);  // a port that did not open fails below
  channel.SetHandshake(0);
  DtrOn(channel);
  UnlockBootLoader(slot, context);
  context.dialog->SetStatusText(slot->StatusControlId, kWaitingForPrinterText);

  bool answered = WaitForBootLoader(slot, context, 3000);
  if (!answered) {
    DtrOn(channel);
    UnlockBootLoader(slot, context);
    answered = WaitForBootLoader(slot, context, 2000);
  }
  if (!answered) {
    DtrOff(channel);
    UnlockBootLoader(slot, context);
    answered = WaitForBootLoader(slot, context, 1000);
  }
  if (!answered) {
    context.dialog->SetStatusText(slot->StatusControlId, kCannotTalkText);
    return false;
  }
  DtrOn(channel);
  WaitForBootLoader(slot, context, 3000);
  WaitUntilReady(channel, *context.clock, kShortReadyPauses);
  return true;
}

// The open-for-writing command (written twice at most), then a wait for the
// boot loader to take it.
bool OpenPrinterFile(PortSlot* slot, const ProtocolContext& context,
                     const std::string& printer_name) {
  IOComm& channel = *slot->Channel;
  Clock& clock = *context.clock;
  const CommandPieces open = OpenWriteCommand(printer_name);
  channel.SetTimeouts(20000, 30);
  DtrOff(channel);
  clock.SleepMs(100);
  if (!channel.OutputString(open[0])) {
    clock.SleepMs(500);
    if (!channel.OutputString(open[0])) return false;
  }
  if (!channel.OutputString(open[1])) return false;
  clock.SleepMs(100);
  WaitUntilReady(channel, clock, kLongReadyPauses);
  DtrOn(channel);
  WaitForBootLoader(slot, context, 1000);
  return true;
}

// Before every 30th block, wait for the boot loader to answer, up to
// 22 probes 500 ms apart, and go on either way.
void WaitBeforeBlock(PortSlot* slot, const ProtocolContext& context) {
  bool answered = WaitForBootLoader(slot, context, 400);
  for (int further = 0; !answered && further < 21; ++further) {
    context.clock->SleepMs(500);
    answered = WaitForBootLoader(slot, context, 400);
  }
  if (!answered) context.clock->SleepMs(500);
}

// One block as its three writes, each of which must go out
// whole.
bool SendBlock(IOComm& channel, Clock& clock, const uint8_t* data, int count) {
  const CommandPieces block = WriteBlockCommand(data, count);
  channel.SetTimeouts(20000, 30);
  WaitUntilReady(channel, clock, kLongReadyPauses);
  if (!WriteWhole(channel, block[0])) return false;
  WaitUntilReady(channel, clock, kLongReadyPauses);
  channel.SetTimeouts(20000, 30);
  DtrOff(channel);
  return WriteWhole(channel, block[1]) && WriteWhole(channel, block[2]);
}

}  // namespace

bool TransferBootFile(PortSlot* slot, const ProtocolContext& context,
                      const std::string& printer_name, const std::string& local_path) {
  if (slot->Channel == nullptr) return false;
  if (!ReachBootLoader(slot, context)) return false;
  if (!OpenPrinterFile(slot, context, printer_name)) return false;

  IOComm& channel = *slot->Channel;
  LocalFile file;
  if (!file.Open(local_path)) {
    // The printer-side file stays open; nothing more is sent.
    context.dialog->SetStatusText(slot->StatusControlId, kCannotReadBootFileText + local_path);
    return false;
  }
  context.dialog->SetStatusText(slot->StatusControlId, kStartTransferText + printer_name);
  DtrOff(channel);

  std::array<uint8_t, kMaxBlock> buffer;
  for (int block = 0; block < kMaxTransferBlocks; ++block) {
    const size_t count = file.Read(buffer.data(), buffer.size());
    DtrOn(channel);
    if (file.error() != 0) {
      // A read error is not the end of the file: closing the printer-side
      // file now would store a cut boot program and report it as sent.
      context.dialog->SetStatusText(slot->StatusControlId, kCannotReadBootFileText + local_path);
      return false;
    }
    if (count == 0) break;
    if (block % kProbeEveryBlocks == 0) WaitBeforeBlock(slot, context);
    if (!SendBlock(channel, *context.clock, buffer.data(), static_cast<int>(count))) return false;
  }

  DtrOn(channel);
  if (!channel.OutputString(CloseFileCommand)) return false;
  file.Close();
  WaitForBootLoader(slot, context, 3000);
  context.clock->SleepMs(100);
  channel.SetTimeouts(1000, 20);
  return true;
}

}  // namespace velloquin
