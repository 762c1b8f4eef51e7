#include "bootloader/verify.h"

#include "bootloader/channel_steps.h"
#include "bootloader/commands.h"
#include "bootloader/unlock.h"
#include "bootloader/verification_file.h"

namespace velloquin {

bool ReadBootLoaderInfo(PortSlot* slot, const ProtocolContext& context,
                        const std::string& port_name) {
  if (slot->Channel == nullptr) return false;
  IOComm& channel = *slot->Channel;
  channel.Close();
  if (!channel.OpenPort(port_name, kBootLoaderSettings, 1)) {
    channel.Close();
    slot->State = Failed;
    return false;
  }
  channel.SetHandshake(0);
  DtrOn(channel);
  const bool unlocked = UnlockBootLoader(slot, context);
  context.clock->SleepMs(100);
  DtrOff(channel);
  channel.SetTimeouts(200, 20);
  if (!unlocked) return false;
  if (!channel.OutputString(InfoRequest)) return false;

  channel.SetTimeouts(2000, 20);
  InfoReplyBuffer reply{};
  if (channel.Input(reply.data(), kInfoReplySize) <= 0) return false;
  channel.SetTimeouts(200, 20);
  if (slot->InfoText == nullptr) return false;  // no text of the row's to fill
  return AcceptInfoReply(reply, slot->InfoText);
}

bool SumsAgree(const std::string& info_text, const std::string& verification_text) {
  for (const char* key : kVerifySumKeys) {
    int32_t printer_sum = 0;
    int32_t file_sum = 0;
    if (!FindSum(info_text, key, &printer_sum)) return false;
    if (!FindSum(verification_text, key, &file_sum)) return false;
    if (printer_sum != file_sum) return false;
  }
  return true;
}

bool VerifyFirmware(PortSlot* slot, const std::string& verify_path, std::string* error_text) {
  std::string verification_text;
  const bool agree = ReadVerificationText(verify_path, &verification_text) &&
                     slot->InfoText != nullptr &&
                     SumsAgree(*slot->InfoText, LowerAscii(verification_text));
  if (!agree) *error_text = kVerifyFailedText;
  return agree;
}

}  // namespace velloquin
