#include "sim/wire_frame.h"

#include <array>

namespace velloquin::sim {

namespace {

constexpr std::array<uint32_t, 14> kSupportedBauds = {
    300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

int HalfStopBits(uint8_t stop_code) {
  switch (stop_code) {
    case kOne5StopBits:
      return 3;
    case kTwoStopBits:
      return 4;
    default:
      return 2;
  }
}

}  // namespace

LineFrame FrameOf(const Dcb& dcb) {
  return LineFrame{dcb.baud_rate, dcb.byte_size, dcb.parity, dcb.stop_bits};
}

bool IsSupportedFrame(const LineFrame& frame) {
  bool baud_ok = false;
  for (uint32_t baud : kSupportedBauds) baud_ok = baud_ok || baud == frame.baud;
  return baud_ok && frame.data_bits >= 5 && frame.data_bits <= 8 && frame.parity <= kSpaceParity &&
         frame.stop_bits <= kTwoStopBits;
}

int HalfBitsPerByte(const LineFrame& frame) {
  int parity_bits = frame.parity == kNoParity ? 0 : 1;
  return 2 * (1 + frame.data_bits + parity_bits) + HalfStopBits(frame.stop_bits);
}

int64_t WireNs(int64_t count, const LineFrame& frame) {
  if (count <= 0 || frame.baud == 0) return 0;
  // count * half_bits * 1e9 overflows 64 bits after about 3e8 bytes.
  using Wide = unsigned __int128;
  Wide numerator = static_cast<Wide>(count) * HalfBitsPerByte(frame) * 1000000000u;
  Wide denominator = static_cast<Wide>(frame.baud) * 2;
  return static_cast<int64_t>((numerator + denominator - 1) / denominator);
}

bool Compatible(const LineFrame& sender, const LineFrame& receiver) {
  return sender.baud == receiver.baud && sender.data_bits == receiver.data_bits &&
         sender.parity == receiver.parity &&
         HalfStopBits(sender.stop_bits) >= HalfStopBits(receiver.stop_bits);
}

uint8_t Garble(uint8_t byte, const LineFrame& sender, const LineFrame& receiver) {
  uint32_t salt = sender.baud * 7u + receiver.baud * 13u + sender.data_bits * 3u +
                  receiver.parity * 5u + sender.stop_bits * 11u + receiver.stop_bits;
  uint8_t garbled = static_cast<uint8_t>(byte * 0x4Du + 0x2Bu + (salt ^ (salt >> 8)));
  if (garbled == byte) garbled ^= 0x55;
  return garbled;
}

}  // namespace velloquin::sim
