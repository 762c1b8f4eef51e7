// Extra output: the substitutions, and the start and end strings that a
// channel sends around each connection of a device (never of a network
// printer).
#include "iocomm/extra_output.h"

#include <algorithm>
#include <numeric>

#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

constexpr int kEndStringPauseMs = 500;
constexpr size_t kNotFound = static_cast<size_t>(-1);

// The length of `bytes` read as text: up to its first zero byte.
size_t TextLength(const uint8_t* bytes, size_t size) {
  return static_cast<size_t>(std::find(bytes, bytes + size, 0) - bytes);
}

// Where `needle` (read as text) first occurs in `text` from `from` on, the
// search stopping at the first zero byte at or after `from`; npos if nowhere.
size_t FindText(const std::vector<uint8_t>& text, size_t from, const uint8_t* needle,
                size_t needle_length) {
  const uint8_t* begin = text.data() + from;
  const uint8_t* end = begin + TextLength(begin, text.size() - from);
  const uint8_t* found = std::search(begin, end, needle, needle + needle_length);
  return found == end ? kNotFound : static_cast<size_t>(found - text.data());
}

// ReplaceAll, keeping `origin` (one entry per byte of `text`, may be null)
// in step with the text. Text and origin change only when the result is
// not 0.
int ReplaceAllTracked(std::vector<uint8_t>* text, std::vector<uint32_t>* origin,
                      const std::vector<uint8_t>& pattern,
                      const std::vector<uint8_t>& replacement) {
  if (text->size() == pattern.size()) {
    size_t length = TextLength(text->data(), text->size());
    bool equal = length == TextLength(pattern.data(), pattern.size()) &&
                 std::equal(text->begin(), text->begin() + length, pattern.begin());
    if (!equal || replacement.empty()) return 0;
    if (origin) origin->assign(replacement.size(), origin->empty() ? 0 : origin->front());
    *text = replacement;
    return static_cast<int>(text->size());
  }

  const size_t needle_length = TextLength(pattern.data(), pattern.size());
  if (needle_length == 0) return 0;
  size_t match = FindText(*text, 0, pattern.data(), needle_length);
  if (match == kNotFound) return 0;

  std::vector<uint8_t> out;
  std::vector<uint32_t> out_origin;
  size_t copied = 0;  // the first byte of `text` not yet taken over
  for (int replaced = 0; match != kNotFound;) {
    out.insert(out.end(), text->begin() + copied, text->begin() + match);
    out.insert(out.end(), replacement.begin(), replacement.end());
    if (origin) {
      out_origin.insert(out_origin.end(), origin->begin() + copied, origin->begin() + match);
      out_origin.insert(out_origin.end(), replacement.size(), (*origin)[match]);
    }
    // The whole stored pattern goes, a stored zero byte included; at the end
    // of the text there is nothing more to remove.
    copied = std::min(match + pattern.size(), text->size());
    if (++replaced == kMaxReplacements) break;
    match = FindText(*text, copied, pattern.data(), needle_length);
  }
  out.insert(out.end(), text->begin() + copied, text->end());
  if (out.empty()) return 0;
  if (origin) {
    out_origin.insert(out_origin.end(), origin->begin() + copied, origin->end());
    *origin = std::move(out_origin);
  }
  *text = std::move(out);
  return static_cast<int>(text->size());
}

}  // namespace

int ReplaceAll(std::vector<uint8_t>* text, const std::vector<uint8_t>& pattern,
               const std::vector<uint8_t>& replacement) {
  return ReplaceAllTracked(text, nullptr, pattern, replacement);
}

SubstitutedBlock::SubstitutedBlock(const uint8_t* data, uint32_t length,
                                   const SubstitutionRules& rules)
    : source_(data), length_(length) {
  if (length == 0 || length >= kSubstitutionMaxBlock) return;
  std::vector<uint8_t> work(data, data + length);
  std::vector<uint32_t> origin(length);
  std::iota(origin.begin(), origin.end(), 0u);
  bool changed = false;
  for (const SubstitutionRule& rule : rules) {
    if (rule.pattern->empty() || rule.pattern->front() == 0) continue;
    if (ReplaceAllTracked(&work, &origin, *rule.pattern, *rule.conversion) == 0) continue;
    // A rewrite that outgrows the work area is dropped whole: the block goes
    // out as the caller gave it rather than cut short.
    if (work.size() >= kSubstitutionWorkArea) return;
    changed = true;
  }
  if (!changed) return;
  rewritten_ = true;
  bytes_ = std::move(work);
  origin_ = std::move(origin);
}

uint32_t SubstitutedBlock::SourceCount(uint32_t written) const {
  if (!rewritten_) return std::min(written, length_);
  if (written >= bytes_.size()) return length_;
  return origin_[written];
}

int IOComm::SendStartString(int handle) {
  if (handle == 0) return 0;
  if (DoExtra == 0) return handle;
  // The extra strings themselves are never rewritten.
  uint32_t saved = DoExtra;
  DoExtra = 0;
  OutputString(StartString);
  DoExtra = saved;
  return handle;
}

void IOComm::SendEndString() {
  uint32_t saved = DoExtra;
  DoExtra = 0;
  OutputString(EndString);
  DoExtra = saved;
  // Time for the printer to act on the end string before the port goes.
  env_.clock->SleepMs(kEndStringPauseMs);
}

SubstitutionRules IOComm::Substitutions() const {
  return {{{&Pattern1, &Conversion1},
           {&Pattern2, &Conversion2},
           {&Pattern3, &Conversion3},
           {&Pattern4, &Conversion4}}};
}

}  // namespace velloquin
