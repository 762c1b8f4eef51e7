// Small named steps on a row's channel that the boot-loader exchanges share:
// the DTR levels, the bounded drain of stale input, and the readiness wait.
#pragma once

#include "iocomm/io_comm.h"
#include "platform/clock.h"

namespace velloquin {

// DTR on: the adapter holds the printer's reset line released.
inline void DtrOn(IOComm& channel) { channel.ClearDtr(0); }
// DTR off.
inline void DtrOff(IOComm& channel) { channel.ClearDtr(1); }

// A well-behaved printer's input is drained by reads of `chunk` bytes until
// one returns no byte. A device that never stops talking would keep that loop
// going for ever, so the drain also ends after kDrainMaxBytes bytes (four
// whole info reports) or kDrainMaxMs of clock time, whichever comes first.
inline constexpr int kDrainMaxBytes = 20000;
inline constexpr int kDrainMaxMs = 3000;
// Returns the number of bytes discarded.
int DrainInput(IOComm& channel, Clock& clock, int chunk);

// Readiness wait: test IsReady; while busy, pause 100 ms and test again, at
// most `max_pauses` times; then go on whether ready or not.
inline constexpr int kShortReadyPauses = 42;
inline constexpr int kLongReadyPauses = 142;
void WaitUntilReady(IOComm& channel, Clock& clock, int max_pauses);

}  // namespace velloquin
