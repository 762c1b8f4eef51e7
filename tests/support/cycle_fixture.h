// A row's worker on a scripted port, in virtual time: the FakePort plays a
// printer that answers the boot-mode check, the unlock and the info query as
// the test says, and the test steps the worker one pass at a time.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/commands.h"
#include "bootloader/protocol_context.h"
#include "cycle/cycle_worker.h"
#include "cycle/port_slot.h"
#include "support/channel_fixture.h"
#include "support/worker_ops_recorder.h"

namespace velloquin::testing_support {

// What the scripted printer answers.
struct PrinterScript {
  std::vector<Bytes> boot_mode_replies;  // one per BootModeCheck, the last repeats; {} = silent
  bool answers_unlock = true;
  std::string info_text;  // the reply to an info query (after an unlock)
  Bytes download_reply;   // sent back after every chunk of 1000 bytes
};

struct CycleFixture {
  ChannelFixture channel;
  WorkerOpsRecorder dialog;
  ProtocolContext context;
  PortSlot slot;
  PrinterScript script;
  std::unique_ptr<CycleWorker> worker;
  std::filesystem::path dir;
  int boot_mode_checks = 0;
  bool unlocked = false;

  static constexpr int kPortId = 1002;
  static constexpr int kStatusId = 1003;

  CycleFixture();
  ~CycleFixture();

  // Writes a firmware file of `size` bytes (a counting pattern) and points
  // the firmware box at it.
  std::string MakeFirmware(size_t size, const std::string& name = "fw.bot");
  // Writes a file in the test folder.
  std::string WriteFile(const std::string& name, const std::string& content);

  void SetState(SlotState state) { slot.State.store(state); }
  int32_t State() const { return slot.State.load(); }
  // Runs passes until the state is `state` (or `max_passes` ran); returns
  // whether it got there.
  bool RunUntil(SlotState state, int max_passes = 1000);
  // Runs exactly n passes.
  void Run(int passes);
  std::vector<std::string> Statuses() { return dialog.StatusTexts(kStatusId); }
  void Printer(bool plugged) { Port().modem_status = plugged ? kModemDsrOn : 0; }
  void Button(bool held);
  FakePort& Port() { return *channel.port; }

 private:
  void Respond(const Bytes& written, Bytes* reply);
};

}  // namespace velloquin::testing_support
