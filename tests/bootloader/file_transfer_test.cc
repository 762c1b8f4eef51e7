#include "bootloader/file_transfer.h"

#include <gtest/gtest.h>

#include "bootloader/protocol_fixture.h"

namespace velloquin {
namespace {

using testing_support::Join;
using testing_support::ProtocolTest;
using Strings = std::vector<std::string>;

Bytes FileBytes(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8));
  return bytes;
}

// Unlock, the first answered probe, the probe after it, the open command and
// the probe after it.
const Strings kReached = {"filler", "unlock", "response", "info", "info"};
const Strings kOpened = {"open Kernel.sy_", "00", "info"};

class TransferTest : public ProtocolTest {
 protected:
  std::string Path(const std::string& name) { return boot_dir.File(name); }
  bool Transfer(const std::string& local_path) {
    return TransferBootFile(&slot, context, "Kernel.sy_", local_path);
  }
};

TEST_F(TransferTest, BlocksOfAtMost1000BytesWithAProbeBeforeEvery30th) {
  for (size_t size : {size_t{0}, size_t{1000}, size_t{1001}, size_t{31000}}) {
    SCOPED_TRACE(size);
    boot_loader.transcript.clear();
    boot_loader.data.clear();
    dialog.Clear();
    const Bytes file = FileBytes(size);
    ASSERT_TRUE(Transfer(boot_dir.Write("Kernel.sy_", file)));

    Strings blocks;
    for (size_t k = 0, left = size; left > 0; ++k) {
      const size_t n = std::min<size_t>(left, 1000);
      if (k % 30 == 0) blocks.push_back("info");
      blocks.insert(blocks.end(), {"block", "len " + std::to_string(n), "data " + std::to_string(n)});
      left -= n;
    }
    EXPECT_EQ(boot_loader.transcript, Join({kReached, kOpened, blocks, {"close", "info"}}));
    EXPECT_EQ(boot_loader.data, file);
    EXPECT_EQ(Status(), (Strings{"Waiting for printer to be ready.", " Start Transfer of : Kernel.sy_"}));
    EXPECT_TRUE(port().dtr);
    EXPECT_EQ(port().timeouts.back().read_total_constant, 1000u);
    EXPECT_EQ(port().timeouts.back().read_total_multiplier, 20u);
  }
}

TEST_F(TransferTest, ReopensThePortShownInThePortBoxAtBootLoaderSpeed) {
  dialog.SetPortName(kPortControl, "COM1:");
  dialog.SetPortName("COM9:");  // any other control
  port().ClearRecords();
  ASSERT_TRUE(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(10))));
  EXPECT_EQ(port().opened_names, (Strings{"/dev/ttyS0"}));
  EXPECT_EQ(port().config.dcb.baud_rate, 115200u);
  EXPECT_EQ(port().config.dcb.stop_bits, kOneStopBit);
}

TEST_F(TransferTest, DtrIsOnForEachBlockHeaderAndOffForItsLengthAndData) {
  ASSERT_TRUE(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(1001))));
  const auto& t = boot_loader.transcript;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == "block") {
      EXPECT_TRUE(boot_loader.dtr_on_at_write[i]) << i;
      EXPECT_FALSE(boot_loader.dtr_on_at_write[i + 1]) << i;
      EXPECT_FALSE(boot_loader.dtr_on_at_write[i + 2]) << i;
    }
    if (t[i] == "open Kernel.sy_" || t[i] == "00") {
      EXPECT_FALSE(boot_loader.dtr_on_at_write[i]);
    }
    if (t[i] == "close") {
      EXPECT_TRUE(boot_loader.dtr_on_at_write[i]);
    }
  }
}

TEST_F(TransferTest, SilentBootLoaderGetsThreeTriesAndTheStatusSaysSo) {
  boot_loader.answers_info = false;
  EXPECT_FALSE(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(10))));
  const Strings unlock = {"filler", "unlock", "response"};
  EXPECT_EQ(boot_loader.transcript,
            Join({unlock, Strings(7, "info"), unlock, Strings(5, "info"), unlock,
                  Strings(2, "info")}));
  // DTR on for the first two unlocks, off for the third.
  EXPECT_TRUE(boot_loader.dtr_on_at_write[0]);
  EXPECT_TRUE(boot_loader.dtr_on_at_write[10]);
  EXPECT_FALSE(boot_loader.dtr_on_at_write[18]);
  EXPECT_EQ(Status(), (Strings{"Waiting for printer to be ready.",
                               "Cannot talk to printer, check printer connection."}));
}

TEST_F(TransferTest, MissingOrUnreadableBootFileLeavesThePrinterFileOpen) {
  for (const std::string& path : {Path("Missing.sy_"), boot_dir.Path()}) {
    SCOPED_TRACE(path);
    boot_loader.transcript.clear();
    dialog.Clear();
    EXPECT_FALSE(Transfer(path));
    EXPECT_EQ(boot_loader.transcript, Join({kReached, kOpened}));
    EXPECT_EQ(dialog.LastStatus(kStatusControl), "Cannot read boot file: " + path);
  }
}

TEST_F(TransferTest, ShortWriteStopsTheTransferAtThatBlock) {
  int headers = 0;
  boot_loader.on_token = [&](const std::string& token) {
    if (token == "block" && ++headers == 2) port().max_write = 1;  // from block 1's length on
  };
  EXPECT_FALSE(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(2500))));
  EXPECT_EQ(boot_loader.Count("close"), 0);
  EXPECT_EQ(headers, 2);
  // After block 1's header: its length in two passes of one byte, then ten
  // passes of one data byte, and the transfer stops.
  const auto& t = boot_loader.transcript;
  const size_t header = std::find(std::find(t.begin(), t.end(), "block") + 1, t.end(), "block") -
                        t.begin();
  const std::vector<size_t> sizes = port().WriteSizes();
  std::vector<size_t> after(sizes.begin() + header + 1, sizes.end());
  EXPECT_EQ(after, std::vector<size_t>(12, 1));
}

TEST_F(TransferTest, OpenCommandIsWrittenOnceMoreAfterAFailure) {
  struct Case {
    int failures;
    bool result;
  } cases[] = {{1, true}, {2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failures);
    boot_loader.transcript.clear();
    int probes = 0;
    boot_loader.on_token = [&](const std::string& token) {
      if (token == "info" && ++probes == 2) port().write_failures_left = c.failures;
    };
    EXPECT_EQ(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(5))), c.result);
    EXPECT_EQ(boot_loader.Count("open Kernel.sy_"), c.result ? 1 : 0);
    EXPECT_EQ(boot_loader.Count("00"), c.result ? 1 : 0);
  }
}

TEST_F(TransferTest, BootLoaderSilentDuringTheBlocksIsProbed22TimesThenTheBlockGoesAnyway) {
  boot_loader.on_token = [&](const std::string& token) {
    if (token == "00") boot_loader.answers_info = false;
  };
  ASSERT_TRUE(Transfer(boot_dir.Write("Kernel.sy_", FileBytes(1))));
  // After the open: two probes of the 1000 ms wait, then 22 before block 0;
  // after the close: seven of the 3000 ms wait.
  EXPECT_EQ(boot_loader.transcript,
            Join({kReached, {"open Kernel.sy_", "00"}, Strings(2 + 22, "info"),
                  {"block", "len 1", "data 1", "close"}, Strings(7, "info")}));
}

}  // namespace
}  // namespace velloquin
