#include "bootloader/commands.h"

#include "bootloader/ascii.h"

namespace velloquin {
namespace {

Bytes WithName(Bytes command, const std::string& file_name) {
  command.insert(command.end(), file_name.begin(), file_name.end());
  return command;
}

}  // namespace

CommandPieces OpenWriteCommand(const std::string& file_name) {
  // 'O', then "w " asks for the file to be opened for writing.
  return {WithName({0x1C, 0x66, kCmdOpen, 0x77, 0x20}, file_name), NameTerminator};
}

CommandPieces WriteBlockCommand(const uint8_t* block, int length) {
  if (length < 0 || block == nullptr) length = 0;
  Bytes size{static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>((length >> 8) & 0xFF)};
  return {WriteBlockHeader, size, Bytes(block, block + length)};
}

CommandPieces DeleteFileCommand(const std::string& file_name) {
  return {WithName({0x1C, 0x66, kCmdDelete}, file_name), NameTerminator};
}

std::string NormaliseInfoReply(const InfoReplyBuffer& reply) {
  std::string text(kInfoTextLength, '_');
  for (int i = 0; i < kInfoTextLength; ++i) {
    const auto byte = static_cast<int8_t>(reply[i]);
    if (byte < 0x20) continue;  // control bytes, zeros and 80..FF stay '_'
    text[i] = LowerAsciiChar(static_cast<char>(byte));
  }
  return text;
}

bool AcceptInfoReply(const InfoReplyBuffer& reply, std::string* info_text) {
  info_text->clear();
  std::string text = NormaliseInfoReply(reply);
  if (text.find(kMainProgramMarker) == std::string::npos) return false;
  *info_text = std::move(text);
  return true;
}

}  // namespace velloquin
