// One simulated printer: its normal firmware's three printer-mode commands at
// 19200 baud 8N2, its resident boot loader at 115200 baud 8N1, the firmware
// stream at 115200 baud 8N2 after the baud-rate shift, the flash write, and
// the reset into boot-load mode by a DTR pulse train.
//
// Timing model (all per printer, from its story):
//   - a reply starts reply_ms after the last byte of its command;
//   - after BaudShiftCommand (boot-load mode only) the printer is deaf for
//     shift_ms, then takes every byte as stream data at 115200 8N2; with no
//     first byte for 60 s it gives the download up;
//   - stream bytes go into a buffer of `buffer` bytes, emptied at `consume`
//     bytes per second; XOFF (13) goes out when it is half full, XON (11)
//     when it is down to a quarter; a byte that finds it full is lost;
//   - the first stream byte erases the main program; the stream ends when
//     the station closes the port or after idle_ms without a byte; once the
//     buffer is empty the flash write takes flash_ms, and the image is then
//     stored as "Main.sy_";
//   - FinishLoadCommand arms the reset when no main program is stored and
//     "Kernel.sy_" and "Run.sy_" were written on this bench; an armed printer
//     restarts into boot-load mode on the 8th of a train of DTR changes that
//     follow each other at 300 to 700 ms, and is deaf for boot_ms;
//   - in command mode, bytes at any frame other than 19200 8N2 or 115200 8N1
//     (or with fewer stop bits) are garbled and dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sim/boot_loader_model.h"
#include "sim/download_buffer.h"
#include "sim/image_sums.h"
#include "sim/sim_options.h"

namespace velloquin::sim {

// What a printer needs from the line and the bench it is plugged into.
class PrinterPort {
 public:
  virtual ~PrinterPort() = default;
  // Queues bytes toward the station at `frame`, not starting before the time.
  virtual void Send(const ByteVector& bytes, const LineFrame& frame, int64_t not_before_ns) = 0;
  virtual void Log(int printer, SimEventKind kind, std::string detail, int64_t t_ns) = 0;
  // The printer is unplugged at that time (the earliest request wins).
  virtual void LeaveAt(int64_t t_ns) = 0;
  virtual void PressButton(int64_t from_ns, int64_t until_ns) = 0;
};

class PrinterModel final : public BootLoaderHost {
 public:
  PrinterModel(int number, const PrinterStory& story, uint64_t seed,
               std::shared_ptr<const UnlockKeyTable> key,
               std::optional<ByteVector> main_program, PrinterPort* port);

  void OnStationByte(uint8_t byte, const LineFrame& sent_at, int64_t t_ns);
  // DTR changed level (called only on a change).
  void OnDtr(int64_t t_ns);
  void OnPortClosed(int64_t t_ns);
  int64_t NextEventNs() const;
  // Runs the printer's own event due at `t_ns` (the time NextEventNs gave).
  void RunEvent(int64_t t_ns);

  bool chatters() const { return story_.faults.chatter; }
  // One byte of the endless text of a printer that never stops talking.
  uint8_t NextChatterByte();

  int number() const { return number_; }
  bool boot_mode() const { return boot_mode_; }
  bool flashing() const { return flashing_; }
  int flash_count() const { return flash_count_; }
  const FileStore& files() const { return boot_.files(); }
  const ByteVector& received_image() const { return image_; }
  const PrinterStory& story() const { return story_; }

  // BootLoaderHost
  void Reply(const ByteVector& bytes, int64_t t_ns) override;
  std::string InfoReport(int64_t t_ns) override;
  void OnReportSent(int64_t t_ns) override;
  void OnFinishLoad(int64_t t_ns) override;
  void Log(SimEventKind kind, std::string detail, int64_t t_ns) override;

 private:
  enum class Phase { kCommand, kShifting, kDownload, kRebooting };
  void ReplyAt(ByteVector bytes, const LineFrame& frame, int64_t t_ns);
  void PrinterModeByte(uint8_t byte, int64_t t_ns);
  void StreamByte(uint8_t byte, int64_t t_ns);
  void EndStream(int64_t t_ns, const char* why);
  void FinishFlash(int64_t t_ns);
  void Restart(int64_t t_ns);
  int64_t XonTime() const;

  int number_;
  PrinterStory story_;
  PrinterPort* port_;
  BootLoaderModel boot_;
  uint64_t random_state_;
  bool boot_mode_;

  Phase phase_ = Phase::kCommand;
  int64_t phase_until_ns_ = kNever;
  uint8_t window_[3] = {};
  int window_count_ = 0;
  bool garbled_run_ = false;
  bool deaf_logged_ = false;
  size_t chatter_position_ = 0;

  // Download and flash.
  DownloadBuffer buffer_;
  bool stream_started_ = false;
  int64_t stream_bytes_ = 0;
  int64_t last_stream_byte_ns_ = 0;
  bool xoff_sent_ = false;
  int64_t overruns_ = 0;
  bool image_too_large_ = false;
  ByteVector image_;
  bool flashing_ = false;
  int64_t flash_done_ns_ = kNever;
  int flash_count_ = 0;
  bool sums_wrong_ = false;
  bool retry_pressed_ = false;

  // Reset by DTR pulses.
  bool armed_ = false;
  int64_t last_dtr_change_ns_ = 0;  // valid while train_length_ > 0
  int train_length_ = 0;
};

}  // namespace velloquin::sim
