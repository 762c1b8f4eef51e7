#include "bootloader/boot_programs.h"

#include <gtest/gtest.h>

#include "bootloader/protocol_fixture.h"

namespace velloquin {
namespace {

using testing_support::Join;
using testing_support::ProtocolTest;
using testing_support::TextBytes;
using Strings = std::vector<std::string>;

const Strings kUnlock = {"filler", "unlock", "response"};
const Strings kDelete = {"filler", "unlock", "response", "delete Main.sy_", "00"};

Strings TransferOf(const std::string& name, size_t blocks_of_up_to_1000) {
  Strings t = Join({kUnlock, {"info", "info", "open " + name, "00", "info"}});
  for (size_t k = 0; k < blocks_of_up_to_1000; ++k) {
    if (k % 30 == 0) t.push_back("info");
    t.insert(t.end(), {"block", "len 4", "data 4"});
  }
  t.insert(t.end(), {"close", "info"});
  return t;
}

class BootProgramsTest : public ProtocolTest {
 protected:
  BootProgramsTest() {
    boot_dir.Write("Kernel.sy_", TextBytes("KERN"));
    boot_dir.Write("Run.sy_", TextBytes("RUN1"));
    boot_dir.Write("RunBaud.sy_", TextBytes("BAUD"));
  }
};

TEST_F(BootProgramsTest, DeletePrinterFileUnlocksOnAFreshChannelAndSendsTheCommand) {
  const int built = ChannelsBuilt();
  const int closes = port().closes;
  EXPECT_TRUE(DeletePrinterFile("Main.sy_", &slot, context));
  EXPECT_EQ(ChannelsBuilt(), built + 1);
  EXPECT_GT(port().closes, closes);  // the old channel was closed first
  EXPECT_TRUE(port().is_open);
  EXPECT_EQ(port().config.dcb.baud_rate, 115200u);
  EXPECT_EQ(boot_loader.transcript, kDelete);
  EXPECT_EQ(port().WriteSizes(), (std::vector<size_t>{10, 3, 4, 11, 1}));
  EXPECT_EQ(port().writes[3].time_ms - port().writes[2].time_ms, 100);

  // Nothing is checked: a silent boot loader and failing writes still give true.
  boot_loader.challenge.clear();
  port().write_error = EIO;
  EXPECT_TRUE(DeletePrinterFile("Main.sy_", &slot, context));
}

TEST_F(BootProgramsTest, LoadSequenceDeletesFourTimesThenSendsKernelAndRunProgram) {
  struct Case {
    bool reset_baud;
    const char* run_data;
  } cases[] = {{false, "RUN1"}, {true, "BAUD"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reset_baud);
    boot_loader.transcript.clear();
    boot_loader.dtr_on_at_write.clear();
    boot_loader.data.clear();
    dialog.Clear();
    dialog.SetResetBaudRate(c.reset_baud);
    std::vector<int> built_at_delete;
    boot_loader.on_token = [&](const std::string& token) {
      if (token == "delete Main.sy_") built_at_delete.push_back(ChannelsBuilt());
    };

    ASSERT_TRUE(LoadBootPrograms(&slot, context));
    EXPECT_EQ(boot_loader.transcript,
              Join({{"info"}, kDelete, {"info"}, kDelete, {"info"}, kDelete, {"info"}, kDelete,
                    {"info"}, TransferOf("Kernel.sy_", 1), TransferOf("Run.sy_", 1)}));
    EXPECT_EQ(boot_loader.data, TextBytes(std::string("KERN") + c.run_data));

    // Each deletion on a channel of its own, DTR on, off, on, off.
    ASSERT_EQ(built_at_delete.size(), 4u);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(built_at_delete[i], built_at_delete[i - 1] + 1);
    std::vector<bool> dtr_at_delete;
    for (size_t i = 0; i < boot_loader.transcript.size(); ++i) {
      if (boot_loader.transcript[i] == "delete Main.sy_") {
        dtr_at_delete.push_back(boot_loader.dtr_on_at_write[i]);
      }
    }
    EXPECT_EQ(dtr_at_delete, (std::vector<bool>{true, false, true, false}));

    // The check box is read between the two transfers.
    const Strings calls = dialog.Calls();
    auto at = [&](const std::string& call) {
      return std::find(calls.begin(), calls.end(), call) - calls.begin();
    };
    EXPECT_EQ(calls.front(), "SetStatusText(Deleting main.sy_)");
    EXPECT_LT(at("SetStatusText( Start Transfer of : Kernel.sy_)"), at("IsResetBaudRateChecked"));
    EXPECT_LT(at("IsResetBaudRateChecked"), at("SetStatusText( Start Transfer of : Run.sy_)"));
  }
}

TEST_F(BootProgramsTest, DtrPulsesBeforeTheKernelAndTwiceBeforeTheRunProgram) {
  ASSERT_TRUE(LoadBootPrograms(&slot, context));
  // Off for 1000 ms, on for 1000 ms: find each such pair among the line events.
  std::vector<int64_t> pulses;
  const auto& events = port().line_events;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    if (events[i].function == LineFunction::kClearDtr &&
        events[i + 1].function == LineFunction::kSetDtr &&
        events[i + 1].time_ms - events[i].time_ms == 1000) {
      pulses.push_back(events[i].time_ms);
    }
  }
  ASSERT_EQ(pulses.size(), 3u);
  EXPECT_EQ(pulses[2] - pulses[1], 2000);  // back to back
  // The kernel goes out between the first pulse and the other two.
  const auto& writes = port().writes;
  const auto& t = boot_loader.transcript;
  const size_t kernel = std::find(t.begin(), t.end(), "open Kernel.sy_") - t.begin();
  const size_t run = std::find(t.begin(), t.end(), "open Run.sy_") - t.begin();
  EXPECT_LT(pulses[0], writes[kernel].time_ms);
  EXPECT_LT(writes[kernel].time_ms, pulses[1]);
  EXPECT_LT(pulses[2], writes[run].time_ms);
}

TEST_F(BootProgramsTest, MissingKernelStopsTheSequenceBeforeTheRunProgram) {
  std::filesystem::remove(boot_dir.File("Kernel.sy_"));
  EXPECT_FALSE(LoadBootPrograms(&slot, context));
  EXPECT_EQ(boot_loader.Count("delete Main.sy_"), 4);
  EXPECT_EQ(boot_loader.Count("open Run.sy_"), 0);
  EXPECT_EQ(dialog.LastStatus(kStatusControl),
            "Cannot read boot file: " + boot_dir.Path() + "Kernel.sy_");
}

TEST_F(BootProgramsTest, SilentBootLoaderStillDeletesFourTimesThenFailsTheKernelTransfer) {
  boot_loader.answers_info = false;
  EXPECT_FALSE(LoadBootPrograms(&slot, context));
  EXPECT_EQ(boot_loader.Count("delete Main.sy_"), 4);
  EXPECT_EQ(boot_loader.Count("open Kernel.sy_"), 0);
  EXPECT_EQ(dialog.StatusTexts(kStatusControl),
            (Strings{"Deleting main.sy_", "Waiting for printer to be ready.",
                     "Cannot talk to printer, check printer connection."}));
}

}  // namespace
}  // namespace velloquin
