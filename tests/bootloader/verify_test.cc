#include "bootloader/verify.h"

#include <gtest/gtest.h>

#include "bootloader/protocol_fixture.h"

namespace velloquin {
namespace {

using testing_support::ProtocolTest;
using testing_support::TextBytes;
using Strings = std::vector<std::string>;

class ReadInfoTest : public ProtocolTest {
 protected:
  ReadInfoTest() {
    info_text = "stale";
    dialog.SetPortName("COM7:");  // the port name given by the worker counts, not the box
  }
  bool Read() { return ReadBootLoaderInfo(&slot, context, "COM1:"); }
};

TEST_F(ReadInfoTest, UnlocksAsksOnceAndKeepsTheNormalisedText) {
  ASSERT_TRUE(Read());
  EXPECT_EQ(boot_loader.transcript, (Strings{"filler", "unlock", "response", "info"}));
  EXPECT_TRUE(boot_loader.dtr_on_at_write[0]);   // DTR on for the unlock
  EXPECT_FALSE(boot_loader.dtr_on_at_write[3]);  // and off for the query
  EXPECT_EQ(info_text.size(), 4999u);
  EXPECT_EQ(info_text.substr(0, 50), "boot loader v2__files: main.sy_ kernel.sy_ run.sy_");
  EXPECT_EQ(port().config.dcb.baud_rate, 115200u);
  EXPECT_EQ(port().timeouts.back().read_total_constant, 200u);
  EXPECT_EQ(port().timeouts.back().read_total_multiplier, 20u);
  EXPECT_FALSE(port().dtr);
  EXPECT_EQ(slot.State.load(), NotStarted);
}

TEST_F(ReadInfoTest, ReplyWithoutTheMainProgramEmptiesTheText) {
  boot_loader.info_reply = TextBytes("Boot loader V2\r\nFiles: Kernel.sy_ Run.sy_\r\n");
  EXPECT_FALSE(Read());
  EXPECT_TRUE(info_text.empty());
}

TEST_F(ReadInfoTest, FailuresBeforeTheReplyKeepTheOldText) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Strings transcript;
  } cases[] = {
      {"no challenge", [&] { boot_loader.challenge.clear(); }, {"filler", "unlock"}},
      {"no key table", [&] { context.unlock_key = nullptr; }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boot_loader.transcript.clear();
    c.arrange();
    EXPECT_FALSE(Read());
    EXPECT_EQ(boot_loader.transcript, c.transcript);
    EXPECT_EQ(info_text, "stale");
  }
}

TEST_F(ReadInfoTest, SilentBootLoaderHoldsTheWholeReadTimeOut) {
  boot_loader.answers_info = false;
  EXPECT_FALSE(Read());
  ASSERT_EQ(boot_loader.transcript.back(), "info");
  // 2000 ms + 20 ms for each of the 5000 bytes asked for.
  EXPECT_EQ(Now() - port().writes.back().time_ms, 2000 + 20 * 5000);
  EXPECT_EQ(info_text, "stale");
}

TEST_F(ReadInfoTest, PortThatDoesNotReopenFailsTheSlot) {
  slot.Channel->Close();
  port().open_error = EBUSY;
  EXPECT_FALSE(Read());
  EXPECT_EQ(slot.State.load(), Failed);
  EXPECT_FALSE(slot.Channel->IsOpen());
  EXPECT_TRUE(port().writes.empty());
}

TEST_F(ReadInfoTest, ReplyOfAFullBufferOrMoreKeeps4999Characters) {
  for (size_t size : {size_t{5000}, size_t{7000}}) {
    SCOPED_TRACE(size);
    Bytes reply(size, 'M');
    const Bytes marker = TextBytes("main.sy");
    std::copy(marker.begin(), marker.end(), reply.begin() + 4990);
    boot_loader.info_reply = reply;
    ASSERT_TRUE(Read());
    EXPECT_EQ(info_text.size(), 4999u);
    EXPECT_EQ(info_text.substr(4985), "mmmmmmain.symm");
  }
}

TEST_F(ReadInfoTest, ThenVerifyFirmwareComparesWithTheFile) {
  boot_loader.info_reply =
      TextBytes("Files: main.sy_\r\nSystem CRC:1A2B\r\nControl CRC Sum:3C4D\r\n"
                "Data CRC Sum:FFFFFFFF\r\nTotal CRC Sum:0\r\n");
  ASSERT_TRUE(Read());
  const std::string path = boot_dir.Write(
      "fw.ver", "system crc 0x1a2b\r\ncontrol crc sum 3c4d\r\ndata crc sum 80000000\r\n"
                "total crc sum 0\r\n\x1a" "system crc 9999");
  std::string error;
  EXPECT_TRUE(VerifyFirmware(&slot, path, &error));
  EXPECT_TRUE(error.empty());
}

}  // namespace
}  // namespace velloquin
