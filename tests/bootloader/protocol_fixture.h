// The boot-loader exchanges against a recording fake port through a real
// IOComm, in virtual time. A small scripted boot loader answers the unlock
// request and the info request and turns every write into one token of a
// transcript, so a test can assert the exact commands and write boundaries
// in one comparison.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/commands.h"
#include "bootloader/protocol_context.h"
#include "bootloader/temp_dir.h"
#include "bootloader/unlock.h"
#include "cycle/port_slot.h"
#include "support/channel_fixture.h"
#include "support/worker_ops_recorder.h"

namespace velloquin::testing_support {

// A test key (not a real printer's).
inline std::array<uint8_t, kUnlockKeySize> TestKeyBytes() {
  std::array<uint8_t, kUnlockKeySize> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 37 + 11);
  return key;
}

inline Bytes TextBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Transcript pieces joined in order.
inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline std::string Hex(const Bytes& bytes) {
  std::string out;
  char buffer[4];
  for (uint8_t b : bytes) {
    std::snprintf(buffer, sizeof buffer, "%s%02X", out.empty() ? "" : " ", b);
    out += buffer;
  }
  return out;
}

class ScriptedBootLoader {
 public:
  ScriptedBootLoader(FakePort* port, const UnlockKeyTable* key) : port_(port), key_(key) {
    port->SetResponder([this](const Bytes& written, Bytes* reply) { OnWrite(written, reply); });
  }

  // ---- Behaviour. ----
  Bytes challenge{0x12, 0x34, 0x05, 0x06};  // sent on an unlock request; may be short or empty
  bool answers_info = true;                 // replies to InfoRequest at all
  Bytes info_reply = TextBytes("Boot loader V2\r\nFiles: MAIN.SY_ Kernel.sy_ Run.sy_\r\n");
  // Called with each token as it is recorded (under the port's lock, so it
  // may change the port's fault fields for the next write).
  std::function<void(const std::string& token)> on_token;

  // ---- Record. ----
  std::vector<std::string> transcript;  // one token per write
  std::vector<bool> dtr_on_at_write;    // DTR level when each write arrived
  Bytes data;                           // the data of all block writes, joined

  // The transcript without the tokens of the given kinds.
  std::vector<std::string> Without(const std::vector<std::string>& kinds) const {
    std::vector<std::string> out;
    for (const auto& token : transcript) {
      if (std::find(kinds.begin(), kinds.end(), token) == kinds.end()) out.push_back(token);
    }
    return out;
  }
  int Count(const std::string& token) const {
    return static_cast<int>(std::count(transcript.begin(), transcript.end(), token));
  }

 private:
  static bool StartsWith(const Bytes& bytes, const Bytes& prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
  }

  std::string Token(const Bytes& w) {
    const std::string after_block = expect_;
    expect_.clear();
    if (after_block == "len" && w.size() == 2) {
      expect_ = "data";
      data_length_ = w[0] | (w[1] << 8);
      return "len " + std::to_string(data_length_);
    }
    if (after_block == "data") {
      data.insert(data.end(), w.begin(), w.end());
      return "data " + std::to_string(w.size());
    }
    if (w == UnlockFiller) return "filler";
    if (w == UnlockRequest) return "unlock";
    if (w == InfoRequest) return "info";
    if (w == CloseFileCommand) return "close";
    if (w == WriteBlockHeader) {
      expect_ = "len";
      return "block";
    }
    if (w == NameTerminator) return "00";
    if (StartsWith(w, {0x1C, 0x66, 0x4F, 0x77, 0x20})) {
      return "open " + std::string(w.begin() + 5, w.end());
    }
    if (StartsWith(w, {0x1C, 0x66, 0x44})) return "delete " + std::string(w.begin() + 3, w.end());
    if (last_was_unlock_request_ && w.size() == 4) {
      Challenge padded{0x20, 0x20, 0x20, 0x20};
      std::copy_n(challenge.begin(), std::min<size_t>(challenge.size(), 4), padded.begin());
      UnlockResponse expected = ComputeUnlockResponse(padded, *key_);
      if (std::equal(expected.begin(), expected.end(), w.begin())) return "response";
    }
    return "?" + Hex(w);
  }

  void OnWrite(const Bytes& written, Bytes* reply) {
    std::string token = Token(written);
    last_was_unlock_request_ = token == "unlock";
    transcript.push_back(token);
    dtr_on_at_write.push_back(port_->dtr);
    if (token == "unlock") *reply = challenge;
    if (token == "info" && answers_info) *reply = info_reply;
    if (on_token) on_token(token);
  }

  FakePort* port_;
  const UnlockKeyTable* key_;
  std::string expect_;
  int data_length_ = 0;
  bool last_was_unlock_request_ = false;
};

class ProtocolTest : public ::testing::Test {
 protected:
  static constexpr int kPortControl = 1101;
  static constexpr int kStatusControl = 1201;

  ProtocolTest()
      : key_table(std::make_shared<const UnlockKeyTable>(TestKeyBytes())),
        boot_loader(channels.port.get(), key_table.get()) {
    // The settings store holds a serial configuration already, as on a station
    // that has run before: a fresh channel opens its port once.
    context.dialog = &dialog;
    context.clock = &channels.clock;
    context.unlock_key = key_table;
    context.boot_directory = boot_dir.Path();
    context.log = &channels.log;
    context.channel_env = channels.env;
    dialog.SetPortName("COM1:");
    slot.PortControlId = kPortControl;
    slot.StatusControlId = kStatusControl;
    slot.InfoText = &info_text;
    slot.Channel = std::make_unique<IOComm>(channels.env);
    slot.Channel->OpenPort("COM1:", kBootLoaderSettings, 1);
    slot.Channel->SetHandshake(0);
  }

  FakePort& port() { return *channels.port; }
  // Channels opened fresh so far: a new channel's first open applies the
  // default time-outs, which no step leaves on a channel it reopens.
  int ChannelsBuilt() const {
    const auto& applied = channels.port->timeouts;
    return static_cast<int>(
        std::count(applied.begin(), applied.end(), CommTimeoutValues{500, 40, 300, 30, 300}));
  }
  int64_t Now() { return channels.clock.NowMs(); }
  std::vector<std::string> Status() { return dialog.StatusTexts(kStatusControl); }

  ChannelFixture channels;
  WorkerOpsRecorder dialog;
  TempDir boot_dir;
  std::shared_ptr<const UnlockKeyTable> key_table;
  ScriptedBootLoader boot_loader;
  ProtocolContext context;
  std::string info_text;
  PortSlot slot;
};

}  // namespace velloquin::testing_support
