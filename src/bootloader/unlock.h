// The unlock handshake and the probes that tell whether a boot loader answers.
#pragma once

#include <array>
#include <cstdint>

#include "bootloader/unlock_key.h"

namespace velloquin {

using Challenge = std::array<uint8_t, 4>;
using UnlockResponse = std::array<uint8_t, 4>;

// Pure: the four response bytes for a challenge (XON and XOFF never appear).
UnlockResponse ComputeUnlockResponse(const Challenge& challenge, const UnlockKeyTable& key);

}  // namespace velloquin
