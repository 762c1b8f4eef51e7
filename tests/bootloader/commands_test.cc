#include "bootloader/commands.h"

#include <gtest/gtest.h>

#include <string>

namespace velloquin {
namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Commands, FixedCommandsAreTheirBytes) {
  EXPECT_EQ(BootModeCheck, (Bytes{0x00, 0x02, 0x42}));
  EXPECT_EQ(BaudResetCommand, (Bytes{0x00, 0x02, 0x58}));
  EXPECT_EQ(BaudShiftCommand, (Bytes{0x02, 0x48, 0x73}));
  EXPECT_EQ(UnlockFiller, Bytes(10, 0x20));
  EXPECT_EQ(UnlockRequest, (Bytes{0x1C, 0x66, 0x41}));
  EXPECT_EQ(InfoRequest, (Bytes{0x1C, 0x66, 0x49}));
  EXPECT_EQ(CloseFileCommand, (Bytes{0x1C, 0x66, 0x43}));
  EXPECT_EQ(FinishLoadCommand, (Bytes{0x1C, 0x66, 0x40}));
}

TEST(Commands, NamedCommandsAreTwoPiecesWithTheNameVerbatim) {
  EXPECT_EQ(DeleteFileCommand("Main.sy_"),
            (CommandPieces{{0x1C, 0x66, 0x44, 0x4D, 0x61, 0x69, 0x6E, 0x2E, 0x73, 0x79, 0x5F},
                           {0x00}}));
  CommandPieces open = OpenWriteCommand("Kernel.sy_");
  Bytes head{0x1C, 0x66, 0x4F, 0x77, 0x20};
  Bytes name = Text("Kernel.sy_");
  head.insert(head.end(), name.begin(), name.end());
  EXPECT_EQ(open, (CommandPieces{head, {0x00}}));
}

TEST(Commands, WriteBlockIsHeaderThenLengthLowByteFirstThenData) {
  struct Case {
    int length;
    Bytes size;
  } cases[] = {{1000, {0xE8, 0x03}}, {1, {0x01, 0x00}}, {256, {0x00, 0x01}}, {0, {0x00, 0x00}}};
  for (const Case& c : cases) {
    Bytes data(c.length);
    for (int i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>(i * 13);
    CommandPieces pieces = WriteBlockCommand(data.data(), c.length);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], (Bytes{0x1C, 0x66, 0x57}));
    EXPECT_EQ(pieces[1], c.size) << c.length;
    EXPECT_EQ(pieces[2], data) << c.length;
  }
}

InfoReplyBuffer Reply(const Bytes& bytes) {
  InfoReplyBuffer reply{};
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), reply.size()), reply.begin());
  return reply;
}

TEST(NormaliseInfoReply, ControlAndHighBytesBecomeUnderscoresAndLettersLowerCase) {
  std::string text = NormaliseInfoReply(Reply(Text("System CRC:1A2B\r\n")));
  ASSERT_EQ(text.size(), 4999u);
  EXPECT_EQ(text, "system crc:1a2b" + std::string(4999 - 15, '_'));

  Bytes mixed{'A', 0xE9, 'Z', 0x1F, 0x20, 0x7F, 0x80, 0xFF, '[', '@', '~'};
  EXPECT_EQ(NormaliseInfoReply(Reply(mixed)).substr(0, mixed.size()), "a_z_ \x7f__[@~");
}

TEST(NormaliseInfoReply, FullBufferKeepsOnly4999Characters) {
  Bytes full(kInfoReplySize, 'Q');
  full[kInfoReplySize - 1] = 'R';
  EXPECT_EQ(NormaliseInfoReply(Reply(full)), std::string(4999, 'q'));
}

TEST(AcceptInfoReply, KeepsTheTextOnlyWhenItNamesTheMainProgram) {
  std::string info = "stale";
  EXPECT_TRUE(AcceptInfoReply(Reply(Text("Files: MAIN.SY_ Kernel.sy_\n")), &info));
  EXPECT_EQ(info.substr(0, 26), "files: main.sy_ kernel.sy_");
  EXPECT_EQ(info.size(), 4999u);

  EXPECT_FALSE(AcceptInfoReply(Reply(Text("Files: Kernel.sy_ Run.sy_")), &info));
  EXPECT_TRUE(info.empty());
  // A control byte inside the marker breaks it.
  EXPECT_FALSE(AcceptInfoReply(Reply(Text("main\x01sy")), &info));
  // The marker in the very last byte is cut off with it.
  Bytes late(kInfoReplySize - 7, ' ');
  Bytes marker = Text("main.sy");
  late.insert(late.end(), marker.begin(), marker.end());
  EXPECT_FALSE(AcceptInfoReply(Reply(late), &info));
  late.erase(late.begin());
  EXPECT_TRUE(AcceptInfoReply(Reply(late), &info));
}

}  // namespace
}  // namespace velloquin
