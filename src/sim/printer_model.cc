#include "sim/printer_model.h"

#include <algorithm>
#include <cstring>

#include "bootloader/commands.h"

namespace velloquin::sim {

namespace {

constexpr int64_t kFirstByteTimeoutNs = 60000 * kNsPerMs;
constexpr int64_t kTrainMinGapNs = 300 * kNsPerMs;
constexpr int64_t kTrainMaxGapNs = 700 * kNsPerMs;
constexpr int kTrainLength = 8;
constexpr size_t kMaxImageSize = 64 * 1024 * 1024;
constexpr char kChatterText[] = "STATUS: ONLINE, READY\r\n";
constexpr char kKernelName[] = "Kernel.sy_";
constexpr char kRunName[] = "Run.sy_";

ByteVector RandomBytes(uint64_t* state, size_t count) {
  ByteVector bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(NextRandom(state) >> 56);
  return bytes;
}

int64_t Ms(int64_t ms) { return ms * kNsPerMs; }

}  // namespace

PrinterModel::PrinterModel(int number, const PrinterStory& story, uint64_t seed,
                           std::shared_ptr<const UnlockKeyTable> key,
                           std::optional<ByteVector> main_program, PrinterPort* port)
    : number_(number),
      story_(story),
      port_(port),
      boot_(this, std::move(key), story.faults.reject_unlock, seed ^ 0xB007),
      random_state_(seed),
      boot_mode_(story.boot_mode && !story.faults.no_boot),
      buffer_(story.buffer, story.consume) {
  // The printer arrives with the boot programs it was made with and, unless
  // told otherwise, an old main program.
  boot_.files().Put(kKernelName, RandomBytes(&random_state_, 512), false);
  boot_.files().Put(kRunName, RandomBytes(&random_state_, 512), false);
  if (main_program) boot_.files().Put(kMainProgramName, std::move(*main_program), false);
}

void PrinterModel::Log(SimEventKind kind, std::string detail, int64_t t_ns) {
  port_->Log(number_, kind, std::move(detail), t_ns);
}

void PrinterModel::ReplyAt(ByteVector bytes, const LineFrame& frame, int64_t t_ns) {
  if (story_.faults.garbage) {
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(NextRandom(&random_state_) >> 56);
    if (!bytes.empty() && bytes[0] == kBootModeReply) bytes[0] ^= 0x80;
  }
  port_->Send(bytes, frame, t_ns + Ms(story_.reply_ms));
}

void PrinterModel::Reply(const ByteVector& bytes, int64_t t_ns) {
  ReplyAt(bytes, kBootLoaderFrame, t_ns);
}

void PrinterModel::OnStationByte(uint8_t byte, const LineFrame& sent_at, int64_t t_ns) {
  if (phase_ == Phase::kShifting || phase_ == Phase::kRebooting) {
    if (!deaf_logged_) Log(SimEventKind::kIgnored, "byte while switching or restarting", t_ns);
    deaf_logged_ = true;
    return;
  }
  if (phase_ == Phase::kDownload) {
    StreamByte(Compatible(sent_at, kDownloadFrame) ? byte : Garble(byte, sent_at, kDownloadFrame),
               t_ns);
    return;
  }
  if (Compatible(sent_at, kPrinterModeFrame)) {
    garbled_run_ = false;
    PrinterModeByte(byte, t_ns);
  } else if (Compatible(sent_at, kBootLoaderFrame)) {
    garbled_run_ = false;
    if (!story_.faults.silent) boot_.OnByte(byte, t_ns);
  } else {
    if (!garbled_run_) {
      Log(SimEventKind::kGarbled,
          std::to_string(sent_at.baud) + " baud, " + std::to_string(sent_at.data_bits) +
              " data bits, parity code " + std::to_string(sent_at.parity) + ", stop code " +
              std::to_string(sent_at.stop_bits),
          t_ns);
    }
    garbled_run_ = true;
    window_count_ = 0;
  }
}

void PrinterModel::PrinterModeByte(uint8_t byte, int64_t t_ns) {
  if (window_count_ == 3) std::memmove(window_, window_ + 1, 2);
  window_[std::min(window_count_, 2)] = byte;
  window_count_ = std::min(window_count_ + 1, 3);
  if (window_count_ < 3) return;
  auto is = [this](const Bytes& command) { return std::equal(window_, window_ + 3, command.begin()); };
  if (is(BootModeCheck)) {
    window_count_ = 0;
    Log(SimEventKind::kBootModeCheck, boot_mode_ ? "answered P" : "not in boot-load mode", t_ns);
    if (boot_mode_) ReplyAt(ByteVector{kBootModeReply}, kPrinterModeFrame, t_ns);
  } else if (is(BaudResetCommand)) {
    window_count_ = 0;
    Log(SimEventKind::kBaudReset, "", t_ns);
  } else if (is(BaudShiftCommand)) {
    window_count_ = 0;
    if (!boot_mode_ || flashing_) {
      Log(SimEventKind::kIgnored, boot_mode_ ? "baud shift while writing the flash"
                                             : "baud shift outside boot-load mode",
          t_ns);
      return;
    }
    Log(SimEventKind::kBaudShift, "", t_ns);
    phase_ = Phase::kShifting;
    phase_until_ns_ = t_ns + Ms(story_.shift_ms);
    deaf_logged_ = false;
  }
}

void PrinterModel::StreamByte(uint8_t byte, int64_t t_ns) {
  ++stream_bytes_;
  if (story_.faults.unplug_at_byte == stream_bytes_) {
    port_->LeaveAt(t_ns);
    return;
  }
  if (!stream_started_) {
    stream_started_ = true;
    image_.clear();
    image_too_large_ = false;
    boot_.files().Erase(kMainProgramName);
    Log(SimEventKind::kDownloadStart, "main program erased", t_ns);
  }
  last_stream_byte_ns_ = t_ns;
  if (!buffer_.Push(t_ns)) {
    if (overruns_++ == 0) Log(SimEventKind::kOverrun, "download buffer full", t_ns);
    return;
  }
  if (image_.size() < kMaxImageSize) {
    image_.push_back(byte);
  } else {
    image_too_large_ = true;
  }
  int64_t level = buffer_.Level(t_ns);
  if (!xoff_sent_ && level >= buffer_.capacity() / 2) {
    xoff_sent_ = true;
    Log(SimEventKind::kXoff, std::to_string(level) + " bytes buffered", t_ns);
    port_->Send(ByteVector{kXoff}, kDownloadFrame, t_ns);
  } else if (xoff_sent_ && level <= buffer_.capacity() / 4) {
    RunEvent(t_ns);  // XON due now
  }
}

int64_t PrinterModel::XonTime() const {
  return std::max(last_stream_byte_ns_, buffer_.TimeLevelAtMost(buffer_.capacity() / 4));
}

void PrinterModel::EndStream(int64_t t_ns, const char* why) {
  phase_ = Phase::kCommand;
  phase_until_ns_ = kNever;
  xoff_sent_ = false;
  stream_started_ = false;
  Log(SimEventKind::kDownloadEnd,
      std::to_string(image_.size()) + " bytes, " + why +
          (overruns_ > 0 ? ", " + std::to_string(overruns_) + " lost" : ""),
      t_ns);
  flashing_ = true;
  int64_t start = std::max(t_ns, buffer_.TimeLevelAtMost(0));
  flash_done_ns_ = story_.faults.flash_stuck ? kNever : start + Ms(story_.flash_ms);
}

void PrinterModel::FinishFlash(int64_t t_ns) {
  flashing_ = false;
  flash_done_ns_ = kNever;
  if (image_too_large_) {
    Log(SimEventKind::kIgnored, "image too large for the flash", t_ns);
    return;
  }
  ++flash_count_;
  sums_wrong_ = story_.faults.wrong_sums < 0 || flash_count_ <= story_.faults.wrong_sums;
  retry_pressed_ = false;
  ImageSums sums = ComputeImageSums(image_);
  boot_.files().Put(kMainProgramName, image_, true);
  std::string text = FormatSumLines(sums_wrong_ ? SpoilSums(sums) : sums);
  Log(SimEventKind::kFlashDone, text.substr(0, text.find('\r')) + (sums_wrong_ ? " (wrong)" : ""),
      t_ns);
}

int64_t PrinterModel::NextEventNs() const {
  int64_t next = flash_done_ns_;
  switch (phase_) {
    case Phase::kShifting:
    case Phase::kRebooting:
      next = std::min(next, phase_until_ns_);
      break;
    case Phase::kDownload:
      if (!stream_started_) {
        next = std::min(next, phase_until_ns_);
      } else {
        next = std::min(next, last_stream_byte_ns_ + Ms(story_.idle_ms));
        if (xoff_sent_) next = std::min(next, XonTime());
      }
      break;
    case Phase::kCommand:
      break;
  }
  return next;
}

void PrinterModel::RunEvent(int64_t t_ns) {
  if (phase_ == Phase::kShifting && t_ns >= phase_until_ns_) {
    phase_ = Phase::kDownload;
    phase_until_ns_ = t_ns + kFirstByteTimeoutNs;
    stream_bytes_ = 0;
    overruns_ = 0;
    buffer_ = DownloadBuffer(story_.buffer, story_.consume);
  } else if (phase_ == Phase::kRebooting && t_ns >= phase_until_ns_) {
    phase_ = Phase::kCommand;
    phase_until_ns_ = kNever;
  } else if (phase_ == Phase::kDownload && !stream_started_ && t_ns >= phase_until_ns_) {
    phase_ = Phase::kCommand;
    phase_until_ns_ = kNever;
    Log(SimEventKind::kIgnored, "no firmware stream after the baud shift", t_ns);
  } else if (phase_ == Phase::kDownload && stream_started_ && xoff_sent_ && t_ns >= XonTime()) {
    xoff_sent_ = false;
    Log(SimEventKind::kXon, std::to_string(buffer_.Level(t_ns)) + " bytes buffered", t_ns);
    port_->Send(ByteVector{kXon}, kDownloadFrame, t_ns);
  } else if (phase_ == Phase::kDownload && stream_started_ &&
             t_ns >= last_stream_byte_ns_ + Ms(story_.idle_ms)) {
    EndStream(t_ns, "line idle");
  } else if (flashing_ && t_ns >= flash_done_ns_) {
    FinishFlash(t_ns);
  }
}

void PrinterModel::OnPortClosed(int64_t t_ns) {
  if (phase_ == Phase::kDownload && stream_started_) EndStream(t_ns, "port closed");
}

void PrinterModel::OnDtr(int64_t t_ns) {
  int64_t gap = t_ns - last_dtr_change_ns_;
  bool in_train = train_length_ > 0 && gap >= kTrainMinGapNs && gap <= kTrainMaxGapNs;
  train_length_ = in_train ? train_length_ + 1 : 1;
  last_dtr_change_ns_ = t_ns;
  if (armed_ && train_length_ >= kTrainLength) Restart(t_ns);
}

void PrinterModel::Restart(int64_t t_ns) {
  armed_ = false;
  train_length_ = 0;
  boot_mode_ = !story_.faults.no_boot;
  Log(SimEventKind::kReset, boot_mode_ ? "into boot-load mode" : "still in normal mode (no_boot)",
      t_ns);
  if (flashing_) Log(SimEventKind::kIgnored, "flash write cut off by the reset", t_ns);
  flashing_ = false;
  flash_done_ns_ = kNever;
  stream_started_ = false;
  xoff_sent_ = false;
  boot_.Restart();
  window_count_ = 0;
  phase_ = Phase::kRebooting;
  phase_until_ns_ = t_ns + Ms(story_.boot_ms);
  deaf_logged_ = false;
}

void PrinterModel::OnFinishLoad(int64_t t_ns) {
  const FileStore& files = boot_.files();
  const FileStore::File* kernel = files.Find(kKernelName);
  const FileStore::File* run = files.Find(kRunName);
  bool loaded = kernel && kernel->written_here && run && run->written_here;
  bool has_main = files.Find(kMainProgramName) != nullptr;
  armed_ = armed_ || (loaded && !has_main);
  Log(SimEventKind::kFinishLoad,
      armed_ ? "armed"
             : (has_main ? "not armed: main program still stored"
                         : "not armed: boot programs not loaded"),
      t_ns);
}

std::string PrinterModel::InfoReport(int64_t /*t_ns*/) {
  std::string report = "Boot Loader 3.20 (simulated printer)\r\n";
  report += boot_mode_ ? "Mode: Boot Load\r\n" : "Mode: Printer\r\n";
  if (flashing_) {
    report += "Flash: writing\r\n";
  } else if (stream_started_) {
    report += "Flash: receiving " + std::to_string(image_.size()) + " bytes\r\n";
  } else {
    report += "Flash: idle\r\n";
  }
  report += "Files:\r\n";
  for (const FileStore::File& file : boot_.files().files()) {
    report += "  " + file.name + " " + std::to_string(file.content.size()) + "\r\n";
  }
  const FileStore::File* main = boot_.files().Find(kMainProgramName);
  ImageSums sums = main ? ComputeImageSums(main->content) : ImageSums{};
  report += FormatSumLines(main && main->written_here && sums_wrong_ ? SpoilSums(sums) : sums);
  return report;
}

void PrinterModel::OnReportSent(int64_t t_ns) {
  const FileStore::File* main = boot_.files().Find(kMainProgramName);
  if (main == nullptr) return;
  int64_t linger = Ms(story_.linger_ms);
  if (story_.leave == LeaveRule::kReported) port_->LeaveAt(t_ns + linger);
  if (!main->written_here) return;
  if (!sums_wrong_) {
    if (story_.leave == LeaveRule::kDone) port_->LeaveAt(t_ns + linger);
  } else if (story_.retry_ms != kNoTime && !retry_pressed_) {
    retry_pressed_ = true;
    int64_t press = t_ns + Ms(story_.retry_ms);
    port_->PressButton(press, press + Ms(story_.hold_ms));
  }
}

uint8_t PrinterModel::NextChatterByte() {
  uint8_t byte = static_cast<uint8_t>(kChatterText[chatter_position_]);
  chatter_position_ = (chatter_position_ + 1) % (sizeof(kChatterText) - 1);
  return byte;
}

}  // namespace velloquin::sim
