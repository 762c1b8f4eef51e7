// Fuzzes what the station reads from outside for verification: the
// verification file's text rules and number rule, and the boot loader's info
// reply. Every input must give a bounded text and a number, never a crash or a
// read past a buffer; a broken invariant traps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bootloader/commands.h"
#include "bootloader/verification_file.h"
#include "bootloader/verify.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velloquin;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // The verification file.
  const std::string text = VerificationTextFromBytes(bytes);
  Check(text.size() <= kVerificationTextLimit);
  Check(text.find('\x1a') == std::string::npos);
  Check(text.size() <= size);
  const std::string lower = LowerAscii(text);
  for (size_t start : {size_t{0}, size / 2, text.size(), text.size() + 1, size_t{1} << 40}) {
    ParseSum(lower, start);
  }
  for (const char* key : kVerifySumKeys) {
    int32_t value = 0;
    FindSum(lower, key, &value);
  }

  // The info reply: what one read puts into the zeroed buffer.
  InfoReplyBuffer reply{};
  std::copy_n(data, std::min(size, reply.size()), reply.begin());
  const std::string info_text = NormaliseInfoReply(reply);
  Check(info_text.size() == static_cast<size_t>(kInfoTextLength));
  for (char c : info_text) {
    Check(static_cast<signed char>(c) >= 0x20);
    Check(c < 'A' || c > 'Z');
  }
  std::string kept = "stale";
  const bool accepted = AcceptInfoReply(reply, &kept);
  Check(accepted == (info_text.find("main.sy") != std::string::npos));
  Check(accepted ? kept == info_text : kept.empty());

  // The comparison of the two, both ways round.
  SumsAgree(info_text, lower);
  SumsAgree(lower, info_text);
  return 0;
}
