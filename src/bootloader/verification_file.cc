#include "bootloader/verification_file.h"

#include <array>

#include "bootloader/ascii.h"
#include "bootloader/local_file.h"

namespace velloquin {
namespace {

// Each character of the text takes at most two bytes of the file (CR LF gives
// LF), so 1500 characters lie within the first 3000 bytes; one more byte
// decides a carriage return at the last of them.
constexpr size_t kVerificationBytesNeeded = 2 * kVerificationTextLimit + 1;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string VerificationTextFromBytes(std::string_view bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size() && text.size() < kVerificationTextLimit; ++i) {
    const char c = bytes[i];
    if (static_cast<uint8_t>(c) == kEndOfFileByte) break;
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text.push_back(c);
  }
  return text;
}

bool ReadVerificationText(const std::string& path, std::string* text) {
  text->clear();
  LocalFile file;
  if (!file.Open(path)) return false;
  std::array<uint8_t, kVerificationBytesNeeded> buffer;
  const size_t total = file.ReadFully(buffer.data(), buffer.size());
  if (file.error() != 0) return false;
  *text = VerificationTextFromBytes(
      std::string_view(reinterpret_cast<const char*>(buffer.data()), total));
  return true;
}

int32_t ParseSum(std::string_view text, size_t start) {
  if (start > text.size()) return 0;
  size_t i = start;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  // The magnitude stops growing once it is past every limit that matters.
  constexpr uint64_t kCap = 0x100000000ULL;
  uint64_t magnitude = 0;
  for (int digit; i < text.size() && (digit = HexDigit(text[i])) >= 0; ++i) {
    magnitude = magnitude * 16 + static_cast<uint64_t>(digit);
    if (magnitude > kCap) magnitude = kCap;
  }
  if (!negative) {
    return magnitude >= 0x80000000ULL ? INT32_MAX : static_cast<int32_t>(magnitude);
  }
  if (magnitude >= 0x80000000ULL) return INT32_MIN;
  return -static_cast<int32_t>(magnitude);
}

bool FindSum(std::string_view text, std::string_view key, int32_t* value) {
  const size_t position = text.find(key);
  if (position == std::string_view::npos) return false;
  *value = ParseSum(text, position + key.size() + 1);
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAsciiChar(c);
  return lower;
}

}  // namespace velloquin
