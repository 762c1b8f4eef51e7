// Extra output: byte substitutions in short output blocks. A station can be
// told through its settings to rewrite every block shorter than 580 bytes by
// up to four pattern/conversion pairs (and to wrap each connection in a start
// and an end string, which the channel sends itself).
//
// Patterns are searched as text: a search never looks past the first zero
// byte of the block or of the pattern. But a pattern removes its whole stored
// length, so a pattern stored as text ("AB" and its zero byte) also removes
// the byte after each "AB" it finds; a conversion stored as text inserts its
// zero byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velloquin {

// Blocks of this length or longer are written as they are (firmware chunks).
inline constexpr uint32_t kSubstitutionMaxBlock = 580;
// The work area a block is rewritten in; a rewrite that reaches this size
// does not fit.
inline constexpr size_t kSubstitutionWorkArea = 600;
// Replacements made by one ReplaceAll at most.
inline constexpr int kMaxReplacements = 100;

// Replaces, in place, the occurrences of `pattern` in `text` by
// `replacement`: a text as long as the pattern and equal to it (both read as
// text) becomes the replacement; otherwise each occurrence found by a text
// search is replaced, the search going on behind the inserted replacement
// (never inside it), at most kMaxReplacements times. Returns the new length,
// or 0 when nothing was replaced. A pattern that is empty as text replaces
// nothing; a rewrite that would leave nothing at all is not made either
// (its length, 0, could not be told from "nothing replaced").
int ReplaceAll(std::vector<uint8_t>* text, const std::vector<uint8_t>& pattern,
               const std::vector<uint8_t>& replacement);

struct SubstitutionRule {
  const std::vector<uint8_t>* pattern;
  const std::vector<uint8_t>* conversion;
};
using SubstitutionRules = std::array<SubstitutionRule, 4>;

// One output block after the substitutions, in the order of the rules; a
// rule whose pattern is empty as text is skipped. A block of
// kSubstitutionMaxBlock bytes or more, a block that no rule changes, and a
// block whose rewrite would not fit the work area are left as they are.
class SubstitutedBlock {
 public:
  SubstitutedBlock(const uint8_t* data, uint32_t length, const SubstitutionRules& rules);

  bool Rewritten() const { return rewritten_; }
  // The bytes to write: the rewritten block, or the caller's.
  const uint8_t* Data() const { return rewritten_ ? bytes_.data() : source_; }
  uint32_t Size() const { return rewritten_ ? static_cast<uint32_t>(bytes_.size()) : length_; }

  // How many of the caller's bytes went out when the first `written` bytes
  // of Data() did: all of them once the whole rewrite is out, else those
  // whose rewritten form went out completely. Output counts its passes in
  // the caller's bytes, so a rewrite that shrinks or grows a block neither
  // repeats nor skips any of it.
  uint32_t SourceCount(uint32_t written) const;

 private:
  const uint8_t* source_;
  uint32_t length_;
  bool rewritten_ = false;
  std::vector<uint8_t> bytes_;
  // origin_[i]: the caller's byte that rewritten byte i stands for (for an
  // inserted conversion, the first byte of the occurrence it replaced).
  std::vector<uint32_t> origin_;
};

}  // namespace velloquin
