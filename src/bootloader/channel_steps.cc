#include "bootloader/channel_steps.h"

#include <vector>

namespace velloquin {

int DrainInput(IOComm& channel, Clock& clock, int chunk) {
  std::vector<uint8_t> buffer(chunk > 0 ? chunk : 1);
  const int64_t start = clock.NowMs();
  int drained = 0;
  while (drained < kDrainMaxBytes && clock.NowMs() - start < kDrainMaxMs) {
    int count = channel.Input(buffer.data(), static_cast<int>(buffer.size()));
    if (count <= 0) break;
    drained += count;
  }
  return drained;
}

void WaitUntilReady(IOComm& channel, Clock& clock, int max_pauses) {
  // Every pause is followed by another test, the last one included.
  for (int pauses = 0; !channel.IsReady() && pauses < max_pauses; ++pauses) {
    clock.SleepMs(100);
  }
}

}  // namespace velloquin
