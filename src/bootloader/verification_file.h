// The verification file and the CRC sums in it: the reader that takes the
// file as text, and the number rule shared with the boot loader's info text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velloquin {

// Only this many characters of a verification file count.
inline constexpr size_t kVerificationTextLimit = 1500;
inline constexpr uint8_t kEndOfFileByte = 0x1A;

// The file's bytes as text: a carriage return right before a line feed is
// dropped, the byte 1A ends the text, and at most 1500 characters are kept.
// `bytes` is the start of the file; a carriage return that is its last byte is
// kept, as at the end of the file.
std::string VerificationTextFromBytes(std::string_view bytes);

// Reads the first 1500 characters of the file at `path` as above. False when
// the file cannot be opened or read.
bool ReadVerificationText(const std::string& path, std::string* text);

// The number rule: from `start`, skip white space (space, tab, LF, VT, FF,
// CR), take an optional sign and an optional "0x"/"0X", then hexadecimal
// digits up to the first other character. No digit gives 0; a start beyond
// the end gives 0. The value saturates to a signed 32-bit number: without a
// sign 80000000 or more gives 7FFFFFFF; with "-" a magnitude above 80000000
// gives -80000000.
int32_t ParseSum(std::string_view text, size_t start);

// The key's first occurrence in `text` and the number after it and one
// separator character. False when the key does not occur.
bool FindSum(std::string_view text, std::string_view key, int32_t* value);

// ASCII A to Z become a to z; every other byte stays.
std::string LowerAscii(std::string_view text);

}  // namespace velloquin
