// A byte-exact scripted station for the simulator's tests: it drives a
// simulated bench through raw SerialDevice calls in virtual time, the way the
// station's protocol code will, but with every byte and pause spelled out.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/commands.h"
#include "bootloader/unlock.h"
#include "bootloader/unlock_key.h"
#include "bootloader/verification_file.h"
#include "platform/clock.h"
#include "sim/sim_printer.h"
#include "sim/wire_frame.h"

namespace velloquin::sim::testing {

inline std::shared_ptr<const UnlockKeyTable> TestKeyTable(uint8_t salt = 0) {
  std::array<uint8_t, kUnlockKeySize> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11 + salt);
  return std::make_shared<UnlockKeyTable>(bytes);
}

inline std::vector<uint8_t> TestImage(size_t size, uint8_t salt = 1) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 131 + salt) ^ (i >> 7));
  return image;
}

inline bool HasMain(const std::string& report) {
  return LowerAscii(report).find("main.sy") != std::string::npos;
}

class SimStation {
 public:
  explicit SimStation(const std::string& spec,
                      std::shared_ptr<const UnlockKeyTable> key = TestKeyTable())
      : key_(std::move(key)) {
    std::string error;
    bench = SimPrinter::FromSpec(spec, &clock, key_, &error);
    EXPECT_NE(bench, nullptr) << error;
  }

  void Open() {
    int error = 0;
    port = bench->Open(&error);
    ASSERT_NE(port, nullptr) << "open failed: " << error;
  }
  void Close() {
    if (port) {
      EXPECT_EQ(port->Close(), 0);
    }
    port.reset();
  }
  void Frame(const LineFrame& frame) {
    CommConfigRecord config;
    ASSERT_EQ(port->GetConfig(&config), 0);
    config.dcb.baud_rate = frame.baud;
    config.dcb.byte_size = frame.data_bits;
    config.dcb.parity = frame.parity;
    config.dcb.stop_bits = frame.stop_bits;
    config.dcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    ASSERT_EQ(port->SetConfig(config), 0);
  }
  // Opens (or reopens) the port at a frame, as the station does.
  void Reopen(const LineFrame& frame) {
    Close();
    Open();
    Frame(frame);
  }
  void ReadTimeouts(uint32_t constant, uint32_t multiplier, uint32_t interval) {
    CommTimeoutValues timeouts;
    timeouts.read_total_constant = constant;
    timeouts.read_total_multiplier = multiplier;
    timeouts.read_interval = interval;
    ASSERT_EQ(port->SetTimeouts(timeouts), 0);
  }
  uint32_t Send(const std::vector<uint8_t>& bytes) {
    IoResult result = port->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(result.ok);
    return result.count;
  }
  std::vector<uint8_t> Receive(uint32_t size) {
    std::vector<uint8_t> buffer(size);
    IoResult result = port->Read(buffer.data(), size);
    EXPECT_TRUE(result.ok);
    buffer.resize(result.count);
    return buffer;
  }
  // The station's unlock: filler, request, the 4-byte challenge, the answer.
  bool Unlock(std::shared_ptr<const UnlockKeyTable> answer_key = nullptr) {
    ReadTimeouts(200, 20, 20);
    Send(UnlockFiller);
    Send(UnlockRequest);
    clock.SleepMs(500);
    std::vector<uint8_t> challenge = Receive(4);
    if (challenge.size() != 4) return false;
    Challenge c{challenge[0], challenge[1], challenge[2], challenge[3]};
    UnlockResponse response = ComputeUnlockResponse(c, answer_key ? *answer_key : *key_);
    Send(std::vector<uint8_t>(response.begin(), response.end()));
    clock.SleepMs(10);
    return true;
  }
  std::string Info() {
    ReadTimeouts(2000, 20, 20);
    Send(InfoRequest);
    std::vector<uint8_t> reply = Receive(5000);
    return std::string(reply.begin(), reply.end());
  }
  void SendPieces(const CommandPieces& pieces) {
    for (const Bytes& piece : pieces) Send(piece);
  }
  void StoreFile(const std::string& name, const std::vector<uint8_t>& content) {
    SendPieces(OpenWriteCommand(name));
    for (size_t at = 0; at < content.size(); at += kMaxBlock) {
      int length = static_cast<int>(std::min<size_t>(kMaxBlock, content.size() - at));
      SendPieces(WriteBlockCommand(content.data() + at, length));
    }
    Send(CloseFileCommand);
  }
  // Shifts a printer in boot-load mode into the download (with shift_ms=0)
  // and leaves the port open at the download's settings.
  void StartStream() {
    Open();
    Frame(kPrinterModeFrame);
    Send(BaudShiftCommand);
    Wait(10);
    Frame(kDownloadFrame);
  }
  // The station's download: the baud shift at 19200 8N2, the reopen at
  // 115200 8N2, then 1000-byte chunks, each after draining the input and
  // waiting while the last byte received is XOFF; then the port is closed.
  void Download(const std::vector<uint8_t>& image) {
    Reopen(kPrinterModeFrame);
    Send(BaudShiftCommand);
    Wait(400);
    Close();
    Wait(400);
    Reopen(kDownloadFrame);
    Wait(2000);
    for (size_t at = 0; at < image.size(); at += kMaxBlock) {
      ReadTimeouts(100, 10, 10);
      uint8_t flow = 0;
      for (std::vector<uint8_t> byte = Receive(1); !byte.empty(); byte = Receive(1)) flow = byte[0];
      for (int repeat = 0; flow == kXoff && repeat < 102; ++repeat) {
        std::vector<uint8_t> byte = Receive(1);
        if (!byte.empty()) flow = byte[0];
        Wait(100);
      }
      size_t length = std::min<size_t>(kMaxBlock, image.size() - at);
      Send(std::vector<uint8_t>(image.begin() + at, image.begin() + at + length));
    }
    Wait(500);
    Close();
  }
  // The info query after a download, at the boot loader's settings.
  std::string QueryInfo() {
    Reopen(kBootLoaderFrame);
    return Info();
  }
  void Dtr(bool on) {
    ASSERT_EQ(port->EscapeFunction(on ? LineFunction::kSetDtr : LineFunction::kClearDtr), 0);
  }
  // DTR levels on, off, on, ... each held `gap_ms`.
  void PulseDtr(int levels, int gap_ms) {
    for (int k = 0; k < levels; ++k) {
      Dtr(k % 2 == 0);
      clock.SleepMs(gap_ms);
    }
  }
  uint32_t Modem() {
    uint32_t status = 0;
    EXPECT_EQ(port->GetModemStatus(&status), 0);
    return status;
  }
  CommStatus Status() {
    CommStatus status;
    EXPECT_EQ(port->GetStatus(&status), 0);
    return status;
  }
  int Count(SimEventKind kind) {
    int count = 0;
    for (const SimEvent& event : bench->Events()) count += event.kind == kind;
    return count;
  }
  const SimEvent* Last(SimEventKind kind) {
    events_ = bench->Events();
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->kind == kind) return &*it;
    }
    return nullptr;
  }
  void Wait(int64_t ms) { clock.SleepMs(ms); }
  // Waits until everything written has reached the printer, and a little.
  void Settle() {
    while (Status().out_queue > 0) Wait(1);
    Wait(5);
  }
  int64_t Now() { return clock.NowMs(); }

  VirtualClock clock;
  std::shared_ptr<SimPrinter> bench;
  std::unique_ptr<SerialDevice> port;

 private:
  std::shared_ptr<const UnlockKeyTable> key_;
  std::vector<SimEvent> events_;
};

}  // namespace velloquin::sim::testing
