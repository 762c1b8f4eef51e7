// The pure half of the unlock handshake: the response to a challenge. Kept
// apart from the exchanges so that it links without a channel.
#include "bootloader/commands.h"
#include "bootloader/crc16.h"
#include "bootloader/unlock.h"

namespace velloquin {

UnlockResponse ComputeUnlockResponse(const Challenge& challenge, const UnlockKeyTable& key) {
  // The seed takes c1 unsigned and c0 signed, so a c0 of 80 or more borrows
  // one from the high byte (80 00 gives FF80).
  const int c0 = static_cast<int8_t>(challenge[0]);
  const int c1 = challenge[1];
  const uint16_t seed = static_cast<uint16_t>((256 * c1 + c0) & 0xFFFF);
  // Signed lengths and offsets: a run starts from -128 to +127 bytes around the
  // key and is at most 127 bytes long, so it stays inside the 1024-byte region.
  const int8_t s2 = static_cast<int8_t>(challenge[2]);
  const int8_t s3 = static_cast<int8_t>(challenge[3]);
  const uint16_t low = Crc16(seed, s2, key.KeyStart() + s3);
  const uint16_t high = Crc16(seed, s3, key.KeyStart() + s2);
  UnlockResponse response{static_cast<uint8_t>(low & 0xFF), static_cast<uint8_t>(low >> 8),
                          static_cast<uint8_t>(high & 0xFF), static_cast<uint8_t>(high >> 8)};
  // XON and XOFF must never reach the line inside the response.
  for (uint8_t& b : response) {
    if (b == kXon) b = kXon + 1;
    if (b == kXoff) b = kXoff + 1;
  }
  return response;
}

}  // namespace velloquin
