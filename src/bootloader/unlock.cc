#include "bootloader/unlock.h"

#include "bootloader/channel_steps.h"
#include "bootloader/commands.h"

namespace velloquin {
namespace {

void ReportMissingKey(PortSlot* slot, const ProtocolContext& context) {
  const IOComm* channel = slot->Channel.get();
  if (slot->UnlockKeyReportedOn == channel) return;
  slot->UnlockKeyReportedOn = channel;
  if (context.log != nullptr) {
    context.log->LogMessage("UnlockBootLoader: no unlock key table, the boot loader cannot be "
                            "unlocked: " +
                            context.unlock_key_problem);
  }
}

// The drain between probes, with the short per-byte time-out it needs, then
// the time-outs the next step expects.
void DrainBetweenProbes(IOComm& channel, Clock& clock) {
  channel.SetTimeouts(100, 2);
  DrainInput(channel, clock, 20);
  channel.SetTimeouts(100, 20);
}

}  // namespace

bool UnlockBootLoader(PortSlot* slot, const ProtocolContext& context) {
  IOComm* channel = slot->Channel.get();
  if (channel == nullptr) return false;
  channel->SetTimeouts(200, 20);
  if (!context.unlock_key) {
    ReportMissingKey(slot, context);
    return false;
  }
  // A stale reply left in the input must never be taken for the challenge.
  DrainInput(*channel, *context.clock, 5);

  // The filler bytes also stand in for challenge bytes that never arrive.
  std::array<uint8_t, 10> work;
  work.fill(0x20);
  if (!channel->Output(work.data(), static_cast<int>(work.size()))) return false;
  if (!channel->OutputString(UnlockRequest)) return false;
  context.clock->SleepMs(500);
  if (channel->Input(work.data(), 4) <= 0) return false;

  const Challenge challenge{work[0], work[1], work[2], work[3]};
  UnlockResponse response = ComputeUnlockResponse(challenge, *context.unlock_key);
  return channel->Output(response.data(), static_cast<int>(response.size())) != 0;
}

bool ProbeBootLoader(PortSlot* slot) {
  IOComm* channel = slot->Channel.get();
  if (channel == nullptr) return false;
  channel->SetTimeouts(200, 10);
  if (!channel->OutputString(InfoRequest)) return false;
  uint8_t reply[3];
  return channel->Input(reply, sizeof reply) > 0;
}

bool WaitForBootLoader(PortSlot* slot, const ProtocolContext& context, int budget_ms) {
  IOComm* channel = slot->Channel.get();
  if (channel == nullptr) return false;
  Clock& clock = *context.clock;
  const int tries = budget_ms / 400 > 0 ? budget_ms / 400 : 1;

  DrainBetweenProbes(*channel, clock);
  for (int attempt = 0; attempt < tries; ++attempt) {
    if (ProbeBootLoader(slot)) {
      DrainBetweenProbes(*channel, clock);
      return true;
    }
    clock.SleepMs(400);
    DrainBetweenProbes(*channel, clock);
  }
  channel->SetTimeouts(100, 20);
  DrainInput(*channel, clock, 5);
  return false;
}

}  // namespace velloquin
