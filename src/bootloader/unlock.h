// The unlock handshake and the probes that tell whether a boot loader answers.
#pragma once

#include <array>
#include <cstdint>

#include "bootloader/protocol_context.h"
#include "bootloader/unlock_key.h"
#include "cycle/port_slot.h"

namespace velloquin {

using Challenge = std::array<uint8_t, 4>;
using UnlockResponse = std::array<uint8_t, 4>;

// Pure: the four response bytes for a challenge (XON and XOFF never appear).
UnlockResponse ComputeUnlockResponse(const Challenge& challenge, const UnlockKeyTable& key);

// Asks the boot loader for its challenge and writes the response. True when
// the response went out (the boot loader confirms nothing). Without a key
// table it writes nothing, returns false and logs why once per channel.
// Leaves the time-outs at 200 ms + 20 ms per byte.
bool UnlockBootLoader(PortSlot* slot, const ProtocolContext& context);

// One InfoRequest; true when at least one reply byte came back. The rest of
// the reply stays in the input.
bool ProbeBootLoader(PortSlot* slot);

// Probes until one answers: budget_ms / 400 tries (at least one), 400 ms
// apart, draining the input around every try. The budget counts tries, not
// elapsed time. Leaves the time-outs at 100 ms + 20 ms per byte.
bool WaitForBootLoader(PortSlot* slot, const ProtocolContext& context, int budget_ms);

}  // namespace velloquin
