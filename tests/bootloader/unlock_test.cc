#include "bootloader/unlock.h"

#include <gtest/gtest.h>

#include "bootloader/protocol_fixture.h"

namespace velloquin {
namespace {

using testing_support::ProtocolTest;
using Strings = std::vector<std::string>;

class UnlockTest : public ProtocolTest {};

TEST_F(UnlockTest, WritesFillerRequestAndTheResponseAsThreeWrites) {
  ASSERT_TRUE(UnlockBootLoader(&slot, context));
  EXPECT_EQ(boot_loader.transcript, (Strings{"filler", "unlock", "response"}));
  ASSERT_EQ(port().writes.size(), 3u);
  // The challenge is read 500 ms after the request went out.
  EXPECT_EQ(port().writes[2].time_ms - port().writes[1].time_ms, 500);
  // Time-outs stay at 200 ms + 20 ms per byte.
  const CommTimeoutValues& t = port().timeouts.back();
  EXPECT_EQ(t.read_total_constant, 200u);
  EXPECT_EQ(t.read_total_multiplier, 20u);
}

TEST_F(UnlockTest, StaleInputIsDrainedBeforeTheChallengeIsRead) {
  // A left-over info reply must not be taken for the challenge.
  port().QueueInput(testing_support::TextBytes("main.sy stale reply of an earlier probe"));
  ASSERT_TRUE(UnlockBootLoader(&slot, context));
  EXPECT_EQ(boot_loader.transcript, (Strings{"filler", "unlock", "response"}));
}

TEST_F(UnlockTest, ShortChallengeIsCompletedWithFillerBytes) {
  boot_loader.challenge = {0x41, 0x02};
  ASSERT_TRUE(UnlockBootLoader(&slot, context));
  // "response" means it matched the challenge 41 02 20 20.
  EXPECT_EQ(boot_loader.transcript, (Strings{"filler", "unlock", "response"}));
}

TEST_F(UnlockTest, NoChallengeOrAFailedWriteFails) {
  boot_loader.challenge.clear();
  EXPECT_FALSE(UnlockBootLoader(&slot, context));
  EXPECT_EQ(boot_loader.transcript, (Strings{"filler", "unlock"}));

  boot_loader.transcript.clear();
  boot_loader.challenge = {1, 2, 3, 4};
  port().write_error = EIO;
  EXPECT_FALSE(UnlockBootLoader(&slot, context));
  EXPECT_TRUE(boot_loader.transcript.empty());
}

TEST_F(UnlockTest, WithoutAKeyTableNothingIsWrittenAndTheLogSaysWhyOncePerChannel) {
  context.unlock_key = nullptr;
  context.unlock_key_problem = "Cannot open unlock key table /x/UnlockKey.bin, error 2";
  EXPECT_FALSE(UnlockBootLoader(&slot, context));
  EXPECT_FALSE(UnlockBootLoader(&slot, context));
  EXPECT_TRUE(port().writes.empty());
  auto entries = channels.log.Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find("/x/UnlockKey.bin, error 2"), std::string::npos) << entries[0];

  // A new channel gets its own entry. The old one stays alive meanwhile, so
  // the new one cannot take its address.
  auto old = std::move(slot.Channel);
  slot.Channel = std::make_unique<IOComm>(channels.env);
  EXPECT_FALSE(UnlockBootLoader(&slot, context));
  EXPECT_EQ(channels.log.Entries().size(), 2u);
}

class ProbeTest : public ProtocolTest {};

TEST_F(ProbeTest, OneInfoRequestAndAnyReplyByte) {
  EXPECT_TRUE(ProbeBootLoader(&slot));
  EXPECT_EQ(boot_loader.transcript, (Strings{"info"}));
  EXPECT_EQ(port().timeouts.back().read_total_multiplier, 10u);
  // The rest of the reply stays in the input.
  uint8_t rest[100];
  EXPECT_GT(slot.Channel->Input(rest, sizeof rest), 0);

  boot_loader.answers_info = false;
  EXPECT_FALSE(ProbeBootLoader(&slot));
  port().write_error = EIO;
  EXPECT_FALSE(ProbeBootLoader(&slot));
}

// Tries per budget, against a silent boot loader: one table.
TEST_F(ProbeTest, WaitForBootLoaderTriesPerBudget) {
  boot_loader.answers_info = false;
  struct Case {
    int budget;
    int tries;
  } cases[] = {{100, 1}, {400, 1}, {1000, 2}, {2000, 5}, {3000, 7}, {5000, 12}, {0, 1},
               {-5, 1},  {799, 1}, {800, 2}};
  for (const Case& c : cases) {
    boot_loader.transcript.clear();
    port().ClearRecords();
    EXPECT_FALSE(WaitForBootLoader(&slot, context, c.budget)) << c.budget;
    EXPECT_EQ(boot_loader.Count("info"), c.tries) << c.budget;
    // Probe time-out (200 + 3 x 10), the 400 ms pause, and the drain's
    // time-out (100 + 20 x 2) between probes.
    for (size_t i = 1; i < port().writes.size(); ++i) {
      EXPECT_EQ(port().writes[i].time_ms - port().writes[i - 1].time_ms, 230 + 400 + 140);
    }
    const CommTimeoutValues& t = port().timeouts.back();
    EXPECT_EQ(t.read_total_constant, 100u);
    EXPECT_EQ(t.read_total_multiplier, 20u);
  }
}

TEST_F(ProbeTest, WaitForBootLoaderReturnsAtTheFirstAnswerWithTheReplyDrained) {
  int probes = 0;
  boot_loader.answers_info = false;
  boot_loader.on_token = [&](const std::string& token) {
    if (token == "info" && ++probes == 2) boot_loader.answers_info = true;  // from the 3rd
  };
  EXPECT_TRUE(WaitForBootLoader(&slot, context, 3000));
  EXPECT_EQ(probes, 3);
  uint8_t rest[10];
  EXPECT_EQ(slot.Channel->Input(rest, sizeof rest), 0);
  EXPECT_EQ(port().timeouts.back().read_total_multiplier, 20u);
}

TEST_F(ProbeTest, DrainsEndInBoundedTimeOnADeviceThatNeverStopsTalking) {
  // More than any drain takes: each drain ends by its own bound.
  port().QueueInput(Bytes(5'000'000, 'x'));
  const int64_t start = Now();
  EXPECT_TRUE(WaitForBootLoader(&slot, context, 3000));
  EXPECT_TRUE(UnlockBootLoader(&slot, context));
  EXPECT_LT(port().reads, 20000);
  EXPECT_LT(Now() - start, 10000);
}

}  // namespace
}  // namespace velloquin
