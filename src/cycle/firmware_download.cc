// The two states that carry the firmware image into the printer: the
// download in 1000-byte chunks after the baud-rate shift, and the wait until
// the printer has written its flash.
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <string>

#include "bootloader/commands.h"
#include "bootloader/unlock.h"
#include "cycle/cycle_worker.h"
#include "cycle/firmware_download.h"

namespace velloquin {
namespace {

constexpr int kChunkSize = 1000;
constexpr int kShiftPauseMs = 400;
constexpr int kSettlePauseMs = 2000;
constexpr int kXoffRepetitions = 102;
constexpr int kFlowPauseMs = 100;
constexpr int kReadyPolls = 100;
constexpr int kReadyPauseMs = 100;
constexpr int kCloseFilePauseMs = 500;
constexpr int kFirstQueryPassCount = 200;
constexpr int kPassesBetweenQueries = 150;
constexpr int kQueryPauseMs = 200;
constexpr int kReopenRetryPauseMs = 4000;
constexpr int kShortPauseMs = 100;
constexpr int kProbeBudgetMs = 100;
// A well-behaved printer sends a handful of flow-control bytes between two
// chunks. One that never stops talking would keep the drain going for ever,
// so it ends after this many bytes and the chunk goes out regardless.
constexpr int kMaxDrainBytes = 4000;

}  // namespace

std::string ProgressText(uint64_t running_total, uint64_t file_size) {
  // Widened arithmetic: a file over 4 GiB neither wraps nor divides by zero.
  uint64_t percent = file_size == 0 ? 1 : running_total * 100 / file_size + 1;
  if (percent > 100) percent = 100;  // only a file that grows mid-download gets here
  return kProgressPrefix + std::to_string(percent) + kProgressMiddle +
         std::string(static_cast<size_t>(percent), '*');
}

void CycleWorker::DownloadingStep() {
  DtrOn();
  RtsOff();
  Status(kOpeningDataFileText);
  Channel().Close();
  RenewChannel();
  Channel().OpenPort(port_name_, kPrinterModeSettings, 1);
  Channel().SetHandshake(0);
  DtrOff();
  const std::string firmware_path = context_.dialog->GetFirmwarePath();

  std::FILE* file = std::fopen(firmware_path.c_str(), "rb");
  struct stat info {};
  if (file && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (!file) {
    Channel().Close();
    error_text_ = kFileOpenErrorText;
    SetState(Failed);
    return;
  }
  slot_->FirmwareFile = file;
  auto end_as_failure = [&](const char* text) {
    error_text_ = text;
    std::fclose(slot_->FirmwareFile);
    slot_->FirmwareFile = nullptr;
    SetState(Failed);
  };

  Channel().SetHandshake(0);
  Status(kFlashStartedText);
  if (port_name_.rfind("COM", 0) == 0) {
    if (!Channel().OutputString(BaudShiftCommand)) {
      Channel().Close();
      return end_as_failure(kBaudShiftFailedText);
    }
    Pause(kShiftPauseMs);
    Channel().Close();
    Pause(kShiftPauseMs);
    if (!Channel().OpenPort(port_name_, kDownloadSettings, 1)) {
      Channel().Close();
      return end_as_failure(kReopenFailedText);
    }
  }
  Channel().SetHandshake(0);
  Channel().SetTimeouts(5000, 10);
  Pause(kSettlePauseMs);

  const uint64_t file_size = static_cast<uint64_t>(info.st_size);
  if (file_size == 0) {
    Channel().Close();
    return end_as_failure(kZeroLengthText);
  }

  std::array<uint8_t, kChunkSize> chunk{};
  size_t chunk_length = std::fread(chunk.data(), 1, kChunkSize, file);
  uint64_t bytes_read = chunk_length;
  uint64_t running_total = 0;  // the chunks read after the first one
  bool file_changed = false;
  while (chunk_length != 0) {
    if (State() != Downloading) {
      Channel().Close();
      error_text_ = kShutdownAbortedText;
      aborted_ = true;
      break;
    }
    DtrOn();

    // Drain what the printer sent; the last byte tells whether it is asking
    // for a pause.
    Channel().SetTimeouts(100, 10);
    uint8_t flow = 0;
    uint8_t byte = 0;
    for (int drained = 0; drained < kMaxDrainBytes && Channel().Input(&byte, 1) > 0; ++drained) {
      flow = byte;
    }
    for (int i = 0; flow == kXoff && i < kXoffRepetitions; ++i) {
      if (Channel().Input(&byte, 1) > 0) flow = byte;
      Pause(kFlowPauseMs);
    }

    DtrOff();
    Channel().SetTimeouts(5000, 10);
    for (int ready = 0; !Channel().IsReady() && ready < kReadyPolls; ++ready) Pause(kReadyPauseMs);

    int length = static_cast<int>(chunk_length);
    if (!Channel().Output(chunk.data(), length) || Channel().LastOutputCount != length) {
      Channel().Close();
      error_text_ = kOutputErrorText;
      aborted_ = true;
      break;
    }

    chunk_length = std::fread(chunk.data(), 1, kChunkSize, file);
    running_total += chunk_length;
    bytes_read += chunk_length;
    if (bytes_read > file_size) {
      // The file grew while it was sent: what the printer got is no image.
      file_changed = true;
      break;
    }
    Status(ProgressText(running_total, file_size));

    if (!(Channel().GetLineStatus() & LineDsr)) {
      Channel().Close();
      error_text_ = kDisconnectAbortedText;
      aborted_ = true;
      break;
    }
  }
  // A read error, or a file cut short (or grown) while it was sent, must not
  // pass as a whole image: the printer did not receive what the file holds.
  if (!aborted_ && (file_changed || std::ferror(file) || bytes_read != file_size)) {
    Channel().Close();
    error_text_ = kFileChangedText;
    aborted_ = true;
  }

  DtrOff();
  std::fclose(slot_->FirmwareFile);
  slot_->FirmwareFile = nullptr;
  Pause(kCloseFilePauseMs);
  Channel().Close();
  if (aborted_) {
    SetState(Failed);
    return;
  }
  Status(std::string(kFlashDoneText) + "\r\n" + kFileDownloadedText + firmware_path);
  SetState(WaitingForFlash);
  pass_count_ = kFirstQueryPassCount;
}

void CycleWorker::WaitingForFlashStep() {
  ToggleDtr();
  Status(kWaitingForFlashText);
  if (pass_count_++ <= kPassesBetweenQueries) {
    Pause(kShortPauseMs);
    return;
  }

  InfoReplyBuffer reply{};
  pass_count_ = 0;
  RtsOff();
  DtrOff();
  Pause(kQueryPauseMs);
  Channel().Close();
  Pause(kQueryPauseMs);
  if (!Channel().OpenPort(port_name_, kBootLoaderSettings, 1)) {
    Pause(kReopenRetryPauseMs);
    if (!Channel().OpenPort(port_name_, kBootLoaderSettings, 1)) {
      Channel().Close();
      error_text_ = kQueryReopenFailedText;
      SetState(Failed);
      return;
    }
  }
  Channel().SetHandshake(0);
  DtrOn();
  WaitForBootLoader(slot_, context_, kProbeBudgetMs);
  bool unlocked = UnlockBootLoader(slot_, context_);
  WaitForBootLoader(slot_, context_, kProbeBudgetMs);
  DtrOn();
  Pause(kShortPauseMs);
  DtrOff();
  Channel().SetTimeouts(200, 20);

  if (unlocked) {
    if (!Channel().OutputString(InfoRequest)) {
      Pause(kShortPauseMs);
      return;
    }
    Channel().SetTimeouts(2000, 20);
    if (Channel().Input(reply.data(), kInfoReplySize) >= 1) {
      Channel().SetTimeouts(200, 20);
      if (AcceptInfoReply(reply, slot_->InfoText)) {
        SetState(VerifyingAfterProgram);
        return;
      }
    }
  }
  // Not written yet (or no answer): the lines decide, and only here, after a
  // query, so an unplugged printer is noticed at the next query.
  RestartOnButtonOrDisconnect(Channel().GetLineStatus());
  Pause(kShortPauseMs);
}

}  // namespace velloquin
