// Every byte string the station sends to a printer, as one table of constants
// and builders. Where a command is written in pieces, each piece is its own
// Output call, in order; callers keep these write boundaries.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velloquin {

using Bytes = std::vector<uint8_t>;

// Printer-mode commands (19200 baud, the printer's normal firmware).
inline const Bytes BootModeCheck{0x00, 0x02, 0x42};     // reply 'P' in boot-load mode
inline const Bytes BaudResetCommand{0x00, 0x02, 0x58};  // goes with "Reset Baud Rate"
inline const Bytes BaudShiftCommand{0x02, 0x48, 0x73};  // shift to 115200 for the download
inline constexpr uint8_t kBootModeReply = 0x50;         // 'P'

// Boot-loader commands (115200 baud), all behind the prefix 1C 66.
inline const Bytes BootCommandPrefix{0x1C, 0x66};
inline const Bytes UnlockFiller(10, 0x20);
inline const Bytes UnlockRequest{0x1C, 0x66, 0x41};  // reply: the 4-byte challenge
inline const Bytes InfoRequest{0x1C, 0x66, 0x49};    // reply: the info report
inline const Bytes CloseFileCommand{0x1C, 0x66, 0x43};
inline const Bytes FinishLoadCommand{0x1C, 0x66, 0x40};
inline const Bytes WriteBlockHeader{0x1C, 0x66, 0x57};
inline const Bytes NameTerminator{0x00};

// Command letters after the prefix, for the printer's side of the exchange.
inline constexpr uint8_t kCmdFinishLoad = 0x40;  // '@'
inline constexpr uint8_t kCmdUnlock = 0x41;      // 'A'
inline constexpr uint8_t kCmdClose = 0x43;       // 'C'
inline constexpr uint8_t kCmdDelete = 0x44;      // 'D'
inline constexpr uint8_t kCmdInfo = 0x49;        // 'I'
inline constexpr uint8_t kCmdOpen = 0x4F;        // 'O', followed by "w " and the name
inline constexpr uint8_t kCmdWrite = 0x57;       // 'W'

inline constexpr uint8_t kXon = 0x11;
inline constexpr uint8_t kXoff = 0x13;
inline constexpr int kMaxBlock = 1000;

// The pieces of one command, each to be written by its own Output call.
using CommandPieces = std::vector<Bytes>;

// 1C 66 4F 77 20 and the name, then 00.
CommandPieces OpenWriteCommand(const std::string& file_name);
// 1C 66 57, then the length (16 bits, low byte first), then the block.
CommandPieces WriteBlockCommand(const uint8_t* block, int length);
// 1C 66 44 and the name, then 00.
CommandPieces DeleteFileCommand(const std::string& file_name);

}  // namespace velloquin

namespace velloquin {

// Line settings texts for OpenPort.
inline constexpr char kPrinterModeSettings[] = "baud=19200 parity=N data=8 stop=2";
inline constexpr char kBootLoaderSettings[] = "baud=115200 parity=N data=8 stop=1";
inline constexpr char kDownloadSettings[] = "baud=115200 parity=N data=8 stop=2";

// The info reply: read by one Input into a zeroed buffer of this size; the
// normalised text keeps all but the last byte.
inline constexpr int kInfoReplySize = 5000;
inline constexpr int kInfoTextLength = kInfoReplySize - 1;
inline constexpr char kMainProgramMarker[] = "main.sy";
using InfoReplyBuffer = std::array<uint8_t, kInfoReplySize>;

// Every byte at positions 0 to 4998 below 20 as a signed byte (00 to 1F and
// 80 to FF) becomes '_', the zeros behind the reply included, and A to Z are
// lower-cased: always 4999 characters.
std::string NormaliseInfoReply(const InfoReplyBuffer& reply);

// The query's rule: empties *info_text, normalises the reply and keeps the
// text in *info_text when it contains "main.sy". Returns whether it did.
bool AcceptInfoReply(const InfoReplyBuffer& reply, std::string* info_text);

}  // namespace velloquin
