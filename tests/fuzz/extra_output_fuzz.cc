// The substitution patterns, conversions and blocks are any bytes an
// installer or a program puts in the settings or on the wire. ReplaceAll must
// keep to its counts and bounds, and a substituted block must account for
// every byte of the caller's block exactly once.
//
// Input: one length byte and a pattern, one length byte and a conversion,
// then the block.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "iocomm/extra_output.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

Bytes Take(const uint8_t*& data, size_t& size, size_t count) {
  count = count < size ? count : size;
  Bytes bytes(data, data + count);
  data += count;
  size -= count;
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velloquin;
  if (size < 2) return 0;
  size_t length = *data++ % 110;
  --size;
  Bytes pattern = Take(data, size, length);
  if (size == 0) return 0;
  length = *data++ % 110;
  --size;
  Bytes conversion = Take(data, size, length);
  const Bytes block(data, data + size);

  Bytes text = block;
  int result = ReplaceAll(&text, pattern, conversion);
  Check(result >= 0, "negative result");
  if (result == 0) {
    Check(text == block, "text changed without a replacement");
  } else {
    Check(static_cast<size_t>(result) == text.size(), "result is not the new length");
    Check(text.size() <= block.size() + kMaxReplacements * conversion.size(),
          "more than the replacement cap");
  }

  const Bytes none;
  const SubstitutionRules rules{{{&pattern, &conversion},
                                 {&conversion, &pattern},
                                 {&none, &none},
                                 {&pattern, &pattern}}};
  SubstitutedBlock out(block.data(), static_cast<uint32_t>(block.size()), rules);
  if (!out.Rewritten()) {
    Check(out.Size() == block.size(), "an unchanged block changed its size");
    return 0;
  }
  Check(block.size() < kSubstitutionMaxBlock, "a long block was rewritten");
  Check(out.Size() > 0 && out.Size() < kSubstitutionWorkArea, "rewrite outside the work area");
  uint32_t previous = 0;
  for (uint32_t written = 0; written <= out.Size(); ++written) {
    uint32_t source = out.SourceCount(written);
    Check(source >= previous && source <= block.size(), "source count out of order");
    previous = source;
  }
  Check(out.SourceCount(out.Size()) == block.size(), "a written rewrite misses source bytes");
  return 0;
}
