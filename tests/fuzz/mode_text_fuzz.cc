// Fuzzes the mode-text parser ("baud=19200 parity=N data=8 stop=2"): it must
// never crash, and a text it refuses must leave the DCB untouched.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/comm_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  velloquin::Dcb dcb;
  dcb.baud_rate = 1234;
  dcb.flags = 0x55;
  velloquin::Dcb before = dcb;
  if (!velloquin::BuildCommDcb(text, &dcb) && !(dcb == before)) std::abort();
  return 0;
}
