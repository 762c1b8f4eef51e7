// The line-level view of one serial byte: the speed and frame it was sent at,
// how long it takes on the wire, and what a receiver listening at another
// speed or frame makes of it.
//
// Time inside the simulator is kept in nanoseconds so that the wire time of a
// byte (86.8 us at 115200 8N1, 572.9 us at 19200 8N2) adds up exactly over a
// run of bytes even though the clock it is driven by only has milliseconds.
#pragma once

#include <cstdint>

#include "platform/comm_config.h"

namespace velloquin::sim {

inline constexpr int64_t kNsPerMs = 1000000;
inline constexpr int64_t kNever = INT64_MAX;

// Speed and frame of one direction of the line.
struct LineFrame {
  uint32_t baud = 9600;
  uint8_t data_bits = 8;
  uint8_t parity = kNoParity;    // kNoParity, kOddParity, ...
  uint8_t stop_bits = kOneStopBit;  // kOneStopBit, kOne5StopBits, kTwoStopBits
  bool operator==(const LineFrame&) const = default;
};

// The frames the simulated printer speaks and listens at.
inline constexpr LineFrame kPrinterModeFrame{19200, 8, kNoParity, kTwoStopBits};
inline constexpr LineFrame kBootLoaderFrame{115200, 8, kNoParity, kOneStopBit};
inline constexpr LineFrame kDownloadFrame{115200, 8, kNoParity, kTwoStopBits};

LineFrame FrameOf(const Dcb& dcb);
// The frame of a DCB is one the simulated adapter can run: a standard speed
// from 300 to 921600 baud, 5 to 8 data bits, a known parity and stop code.
bool IsSupportedFrame(const LineFrame& frame);

// Bit times of one character, doubled so that 1.5 stop bits stay whole:
// start bit, data bits, parity bit, stop bits.
int HalfBitsPerByte(const LineFrame& frame);

// End of the `count`-th byte of an unbroken run of bytes at `frame`, counted
// from the start of the run, rounded up to the next nanosecond. Computing
// every byte from the start of its run keeps the rounding from adding up.
int64_t WireNs(int64_t count, const LineFrame& frame);

// Whether a receiver at `receiver` reads a byte sent at `sender` correctly:
// the speed, data bits and parity must agree and the sender must send at
// least as many stop bits as the receiver checks (a receiver that expects two
// stop bits sees a framing error where a one-stop-bit sender starts its next
// character; extra stop bits look like an idle line).
bool Compatible(const LineFrame& sender, const LineFrame& receiver);

// What a receiver reads instead of `byte` when the two sides disagree: a
// fixed function of the byte and the two frames, never the byte itself, so a
// run is reproducible from test to test.
uint8_t Garble(uint8_t byte, const LineFrame& sender, const LineFrame& receiver);

}  // namespace velloquin::sim
