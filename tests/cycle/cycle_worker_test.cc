#include "cycle/cycle_worker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "cycle/firmware_download.h"
#include "cycle/forcing_boot_mode.h"
#include "support/cycle_fixture.h"

namespace velloquin {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::Bytes;
using testing_support::CycleFixture;

constexpr char kInfoWithMain[] =
    "Boot Loader 2.1\r\nFiles: Kernel.sy_ Run.sy_ Main.sy_\r\n"
    "System CRC: 1A2B\r\nControl CRC Sum: 0003\r\nData CRC Sum: 0004\r\nTotal CRC Sum: 0005\r\n";
constexpr char kVerifyMatching[] =
    "System CRC: 1A2B\nControl CRC Sum: 3\nData CRC Sum: 0x4\nTotal CRC Sum: 5\n";

// Commands the station wrote, in order, among the given ones.
int CountWrites(CycleFixture& f, const Bytes& bytes) {
  return static_cast<int>(std::count_if(f.Port().writes.begin(), f.Port().writes.end(),
                                        [&](const auto& w) { return w.bytes == bytes; }));
}

TEST(CycleWorker, NormalCycleShowsItsTextsInOrder) {
  CycleFixture f;
  f.script.boot_mode_replies = {{'P'}};
  f.script.info_text = kInfoWithMain;
  std::string path = f.MakeFirmware(2500);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(Done));
  f.Run(3);
  f.Printer(false);
  ASSERT_TRUE(f.RunUntil(Restarting));
  EXPECT_THAT(f.Statuses(),
              ElementsAre(kWaitingForStartText, kOpeningPortText, kLookingForPrinterText,
                          kCheckingBootModeText, kOpeningDataFileText, kFlashStartedText,
                          "Flash Update In Progress, 41% Data Sent " + std::string(41, '*'),
                          "Flash Update In Progress, 61% Data Sent " + std::string(61, '*'),
                          "Flash Update In Progress, 61% Data Sent " + std::string(61, '*'),
                          std::string("Flash Update DONE. \r\nFile Downloaded: ") + path,
                          kWaitingForFlashText, kDoneText, kDoneText, kDoneText, kDoneText,
                          kDisconnectedRestartingText));
  // The image went out unchanged, in chunks of 1000, 1000 and 500 bytes,
  // after the baud-rate shift and a reopen at 115200 8N2.
  std::vector<size_t> chunks;
  for (const auto& w : f.Port().writes) {
    if (w.bytes.size() >= 500) chunks.push_back(w.bytes.size());
  }
  EXPECT_THAT(chunks, ElementsAre(1000, 1000, 500));
  EXPECT_EQ(CountWrites(f, BaudShiftCommand), 1);
  bool saw_download_speed = false;
  for (const auto& c : f.Port().configs) {
    if (c.dcb.baud_rate == 115200 && c.dcb.stop_bits == kTwoStopBits) saw_download_speed = true;
  }
  EXPECT_TRUE(saw_download_speed);
  f.Run(1);
  EXPECT_EQ(*f.slot.InfoText, "");  // a new cycle empties it
}

struct BootModeCase {
  const char* what;
  std::vector<Bytes> replies;
  int32_t after;
  int checks;
};

TEST(CycleWorker, BootModeCheckRetriesThenDecides) {
  const BootModeCase cases[] = {
      {"'P' at once", {{'P'}}, Downloading, 1},
      {"'P' on the fourth try", {{'x'}, {'y'}, {'z'}, {'P', 'Q'}}, Downloading, 4},
      {"four wrong answers", {{'R'}}, ForcingBootMode, 4},
      {"silent four times", {}, ForcingBootMode, 4},
  };
  for (const auto& c : cases) {
    CycleFixture f;
    f.script.boot_mode_replies = c.replies;
    f.Printer(true);
    ASSERT_TRUE(f.RunUntil(CheckingBootMode)) << c.what;
    int64_t before = f.channel.clock.NowMs();
    for (int i = 0; i < 10 && f.State() == CheckingBootMode; ++i) f.Run(1);
    EXPECT_EQ(f.State(), c.after) << c.what;
    EXPECT_EQ(f.boot_mode_checks, c.checks) << c.what;
    EXPECT_GT(f.channel.clock.NowMs(), before);
  }
}

TEST(CycleWorker, FourFailedSendsGiveNotInBootModeUntilTheButton) {
  CycleFixture f;
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(CheckingBootMode));
  f.Port().write_error = EIO;
  f.Run(4);
  EXPECT_EQ(f.State(), NotInBootMode);
  f.Port().write_error = 0;
  f.Run(3);
  EXPECT_EQ(f.State(), NotInBootMode);
  EXPECT_EQ(f.dialog.LastStatus(CycleFixture::kStatusId), kNotInBootModeText);
  f.Button(true);
  int64_t before = f.channel.clock.NowMs();
  f.Run(1);
  EXPECT_EQ(f.State(), Restarting);
  EXPECT_EQ(f.dialog.LastStatus(CycleFixture::kStatusId), kButtonRetryingText);
  EXPECT_EQ(f.channel.clock.NowMs() - before, 2000);
}

TEST(CycleWorker, ResetBaudRateSendsTheResetAndAlwaysForces) {
  CycleFixture f;
  f.dialog.SetResetBaudRate(true);
  f.script.boot_mode_replies = {{'P'}};
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(CheckingBootMode));
  f.Port().ClearRecords();
  f.Run(1);
  EXPECT_EQ(f.State(), ForcingBootMode);
  ASSERT_GE(f.Port().writes.size(), 2u);
  EXPECT_EQ(f.Port().writes[0].bytes, BootModeCheck);
  EXPECT_EQ(f.Port().writes[1].bytes, BaudResetCommand);
  EXPECT_EQ(f.Port().writes[1].time_ms - f.Port().writes[0].time_ms, 100);
}

TEST(CycleWorker, PreProgramVerifyMatchGoesToDoneWithTheBlink) {
  CycleFixture f;
  f.dialog.SetPreProgramVerify(true);
  f.dialog.SetVerifyFileText(f.WriteFile("fw.ver", kVerifyMatching));
  f.script.info_text = kInfoWithMain;
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(VerifyingBeforeProgram));
  f.Port().line_events.clear();
  int64_t before = f.channel.clock.NowMs();
  f.Run(1);
  EXPECT_EQ(f.State(), Done);
  EXPECT_THAT(f.Statuses(), Contains(kCurrentVerifiedText));
  // DTR on, then off/on/off/on/off a second each.
  std::vector<std::pair<int64_t, LineFunction>> dtr;
  for (const auto& e : f.Port().line_events) {
    if (e.function == LineFunction::kSetDtr || e.function == LineFunction::kClearDtr) {
      dtr.emplace_back(e.time_ms - before, e.function);
    }
  }
  ASSERT_GE(dtr.size(), 6u);
  std::vector<std::pair<int64_t, LineFunction>> tail(dtr.end() - 6, dtr.end());
  int64_t t = tail[0].first;
  EXPECT_THAT(tail, ElementsAre(std::pair{t, LineFunction::kSetDtr},
                                std::pair{t, LineFunction::kClearDtr},
                                std::pair{t + 1000, LineFunction::kSetDtr},
                                std::pair{t + 2000, LineFunction::kClearDtr},
                                std::pair{t + 3000, LineFunction::kSetDtr},
                                std::pair{t + 4000, LineFunction::kClearDtr}));
  EXPECT_EQ(f.channel.clock.NowMs() - before - t, 5000);
}

TEST(CycleWorker, PreProgramVerifyMismatchProgramsThePrinter) {
  CycleFixture f;
  f.dialog.SetPreProgramVerify(true);
  f.dialog.SetVerifyFileText(f.WriteFile("fw.ver", "System CRC: 9999\n"));
  f.script.info_text = kInfoWithMain;
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(VerifyingBeforeProgram));
  f.Run(1);
  EXPECT_EQ(f.State(), CheckingBootMode);
  f.Run(1);
  EXPECT_EQ(f.State(), ForcingBootMode) << "pre-program verify always forces";
  EXPECT_EQ(f.boot_mode_checks, 0) << "no BootModeCheck is sent on this path";
}

TEST(CycleWorker, LowerCaseComNameSkipsTheBaudShift) {
  CycleFixture f;
  f.dialog.SetPortName("com1:");
  f.script.boot_mode_replies = {{'P'}};
  f.MakeFirmware(1500);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(WaitingForFlash));
  EXPECT_EQ(CountWrites(f, BaudShiftCommand), 0);
  for (const auto& c : f.Port().configs) {
    EXPECT_FALSE(c.dcb.stop_bits == kTwoStopBits && c.dcb.baud_rate == 115200);
  }
}

struct DownloadFailureCase {
  const char* what;
  size_t size;          // firmware bytes (0: empty file)
  bool missing;         // no firmware file at all
  int write_error_at;   // fail the Nth chunk write (0: none)
  const char* error_text;
};

TEST(CycleWorker, DownloadFailuresEndInFailedWithTheirText) {
  const DownloadFailureCase cases[] = {
      {"missing file", 0, true, 0, kFileOpenErrorText},
      {"empty file", 0, false, 0, kZeroLengthText},
      {"chunk write fails", 3000, false, 2, kOutputErrorText},
  };
  for (const auto& c : cases) {
    CycleFixture f;
    f.script.boot_mode_replies = {{'P'}};
    if (c.missing) {
      f.dialog.SetFirmwarePath((f.dir / "nothing.bot").string());
    } else {
      f.MakeFirmware(c.size);
    }
    f.Printer(true);
    ASSERT_TRUE(f.RunUntil(Downloading)) << c.what;
    int chunks = 0;  // outlives the responder's use of it
    if (c.write_error_at) {
      f.Port().SetResponder([&](const Bytes& w, Bytes*) {
        if (w.size() == 1000 && ++chunks == c.write_error_at - 1) f.Port().max_write = 10;
      });
    }
    f.Run(1);
    EXPECT_EQ(f.State(), Failed) << c.what;
    EXPECT_EQ(f.worker->ErrorText(), c.error_text) << c.what;
    EXPECT_EQ(f.slot.FirmwareFile, nullptr) << c.what << ": the file is closed";
    f.Run(1);
    EXPECT_EQ(f.dialog.LastStatus(CycleFixture::kStatusId),
              std::string(kErrorPrefix) + c.error_text + kErrorSuffix);
  }
}

struct MidDownloadCase {
  const char* what;
  int at_chunk;  // the event happens as this 1000-byte chunk is written
  std::function<void(CycleFixture&, const std::string& firmware)> event;
  const char* error_text;
  bool last_chunk;  // no chunk goes out after the event
};

TEST(CycleWorker, DownloadInterruptedBetweenChunksFails) {
  const MidDownloadCase cases[] = {
      {"printer unplugged", 2, [](CycleFixture& f, const std::string&) { f.Port().modem_status = 0; },
       kDisconnectAbortedText, true},
      {"stop request", 3,
       [](CycleFixture& f, const std::string&) { f.slot.State.store(StopRequested); },
       kShutdownAbortedText, true},
      // A file cut short while it is sent is never reported as sent.
      {"firmware file truncated", 2,
       [](CycleFixture&, const std::string& firmware) {
         std::filesystem::resize_file(firmware, 2500);
       },
       // Bytes the file buffer already held may still go out; the download
       // fails all the same once the end comes short.
       kFileChangedText, false},
  };
  for (const auto& c : cases) {
    CycleFixture f;
    f.script.boot_mode_replies = {{'P'}};
    std::string firmware = f.MakeFirmware(5000);
    f.Printer(true);
    ASSERT_TRUE(f.RunUntil(Downloading)) << c.what;
    int chunks = 0;
    f.Port().SetResponder([&](const Bytes& w, Bytes*) {
      if (w.size() == 1000 && ++chunks == c.at_chunk) c.event(f, firmware);
    });
    f.Run(1);
    if (c.last_chunk) {
      EXPECT_EQ(chunks, c.at_chunk) << c.what << ": no chunk after the event";
    }
    EXPECT_EQ(f.State(), Failed) << c.what;
    EXPECT_EQ(f.worker->ErrorText(), c.error_text) << c.what;
    EXPECT_EQ(f.slot.FirmwareFile, nullptr) << c.what;
  }
}

TEST(CycleWorker, StopAfterAnAbortedDownloadEndsTheWorker) {
  CycleFixture f;
  f.Run(1);  // Restarting: the row has its channel
  f.SetState(Failed);
  f.Run(1);
  f.SetState(StopRequested);
  f.Run(1);
  EXPECT_EQ(f.State(), Exiting);
}

TEST(CycleWorker, FlowControlDelaysChunksButNeverFailsThem) {
  struct Case {
    const char* what;
    Bytes reply;
    int64_t min_extra_ms;
  } cases[] = {
      {"XOFF then XON: the last byte decides, no wait", {kXoff, kXon}, 0},
      {"XOFF and nothing more: 102 repetitions, then the chunk anyway", {kXoff}, 102 * 210},
  };
  for (const auto& c : cases) {
    CycleFixture f;
    f.script.boot_mode_replies = {{'P'}};
    f.MakeFirmware(2000);
    f.Printer(true);
    ASSERT_TRUE(f.RunUntil(Downloading)) << c.what;
    f.script.download_reply = c.reply;
    int64_t before = f.channel.clock.NowMs();
    f.Run(1);
    EXPECT_EQ(f.State(), WaitingForFlash) << c.what;
    int64_t took = f.channel.clock.NowMs() - before;
    EXPECT_GE(took, c.min_extra_ms) << c.what;
    if (c.min_extra_ms == 0) {
      EXPECT_LT(took, 10000) << c.what;
    }
  }
}

TEST(CycleWorker, ProgressTextRule) {
  EXPECT_EQ(ProgressText(0, 1000), "Flash Update In Progress, 1% Data Sent *");
  EXPECT_EQ(ProgressText(1000, 2500), "Flash Update In Progress, 41% Data Sent " + std::string(41, '*'));
  EXPECT_EQ(ProgressText(199000, 200000),
            "Flash Update In Progress, 100% Data Sent " + std::string(100, '*'));
  // Over 4 GiB: no wrap of the 32-bit product, no division by a zero low part.
  EXPECT_EQ(ProgressText(uint64_t{3} << 31, uint64_t{1} << 33),
            "Flash Update In Progress, 76% Data Sent " + std::string(76, '*'));
}

TEST(CycleWorker, WaitingForFlashQueriesFirstAndThenEvery152ndPass) {
  CycleFixture f;
  f.script.boot_mode_replies = {{'P'}};
  f.script.info_text = "Boot Loader 2.1\r\nFiles: Kernel.sy_ Run.sy_\r\n";  // not written yet
  f.MakeFirmware(1000);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(WaitingForFlash));
  // Each query is two probes around the unlock and the info request: all
  // three are InfoRequest bytes on the line.
  auto infos = [&] { return CountWrites(f, InfoRequest); };
  int before = infos();
  f.Run(1);
  int per_query = infos() - before;
  EXPECT_EQ(per_query, 3) << "first pass queries at once";
  f.Run(151);
  EXPECT_EQ(infos(), before + per_query);
  f.Run(1);
  EXPECT_EQ(infos(), before + 2 * per_query) << "then every 152nd pass";
  f.script.info_text = kInfoWithMain;
  f.Run(152);
  EXPECT_EQ(f.State(), VerifyingAfterProgram);
  EXPECT_THAT(*f.slot.InfoText, HasSubstr("main.sy"));
  f.Run(1);
  EXPECT_EQ(f.State(), Done) << "no verification file chosen";
}

TEST(CycleWorker, ButtonWinsOverDisconnectInDoneAndWaitingForFlash) {
  for (SlotState state : {Done, WaitingForFlash}) {
    CycleFixture f;
    f.script.boot_mode_replies = {{'P'}};
    f.MakeFirmware(1000);
    f.Printer(true);
    ASSERT_TRUE(f.RunUntil(WaitingForFlash));
    if (state == Done) {
      f.script.info_text = kInfoWithMain;
      ASSERT_TRUE(f.RunUntil(Done, 5));
      f.Run(2);  // the first two passes do not look at the lines
    }
    f.Printer(false);
    f.Button(true);
    ASSERT_TRUE(f.RunUntil(Restarting, 200)) << state;
    EXPECT_EQ(f.dialog.LastStatus(CycleFixture::kStatusId), kButtonRestartingText) << state;
  }
}

TEST(CycleWorker, DoneIgnoresTheButtonInItsFirstTwoPasses) {
  CycleFixture f;
  f.script.boot_mode_replies = {{'P'}};
  f.script.info_text = kInfoWithMain;
  f.MakeFirmware(1000);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(Done));
  f.Button(true);
  f.Run(2);
  EXPECT_EQ(f.State(), Done);
  f.Run(1);
  EXPECT_EQ(f.State(), Restarting);
}

TEST(CycleWorker, PostProgramVerifyMismatchFails) {
  CycleFixture f;
  f.script.boot_mode_replies = {{'P'}};
  f.script.info_text = kInfoWithMain;
  f.dialog.SetVerifyFileText(f.WriteFile("fw.ver", "System CRC: 1A2B\nControl CRC Sum: 9\n"));
  f.MakeFirmware(1000);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(Failed));
  f.Run(1);
  EXPECT_EQ(f.dialog.LastStatus(CycleFixture::kStatusId),
            "ERROR:  Verify Failed  Press Button on Dongle to Retry");
  EXPECT_THAT(f.Statuses(), Not(Contains(kDoneText)));
}

TEST(CycleWorker, DoneBlinkKeepsDtrAndRtsOpposite) {
  CycleFixture f;
  f.script.boot_mode_replies = {{'P'}};
  f.script.info_text = kInfoWithMain;
  f.MakeFirmware(1000);
  f.Printer(true);
  ASSERT_TRUE(f.RunUntil(Done));
  for (int i = 0; i < 6; ++i) {
    f.Run(1);
    EXPECT_NE(f.Port().dtr, f.Port().rts) << "pass " << i;
  }
}

TEST(CycleWorker, StopFromEveryWaitingStateEndsWithinAPass) {
  for (SlotState state : {LookingForPrinter, NotInBootMode, Failed, Done}) {
    CycleFixture f;
    f.Printer(state != LookingForPrinter);
    ASSERT_TRUE(f.RunUntil(LookingForPrinter));
    if (state != LookingForPrinter) f.SetState(state);
    f.Run(1);
    f.SetState(StopRequested);
    EXPECT_EQ(f.worker->Run(), 0);
    EXPECT_EQ(f.State(), Terminated);
    auto texts = f.Statuses();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], kAbortingText) << state;
    EXPECT_EQ(texts.back(), kTerminatedText) << state;
    EXPECT_EQ(f.slot.Channel, nullptr);
  }
}

TEST(CycleWorker, PortThatWillNotOpenIsRetriedAboutEverySecond) {
  CycleFixture f;
  f.Port().open_error = EBUSY;
  f.Run(1);  // Restarting
  int64_t before = f.channel.clock.NowMs();
  f.Run(3);
  EXPECT_EQ(f.State(), OpeningPort);
  EXPECT_EQ(f.channel.clock.NowMs() - before, 3 * 1100);
  f.dialog.SetPortName("COM1:");
  f.Port().open_error = 0;
  f.Run(1);
  EXPECT_EQ(f.State(), LookingForPrinter);
}

}  // namespace
}  // namespace velloquin
