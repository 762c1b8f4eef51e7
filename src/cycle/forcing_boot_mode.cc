// Forcing a printer into boot-load mode: its boot loader's programs are
// reloaded, the load is finished, and the printer is reset by DTR pulses.
#include "bootloader/boot_programs.h"
#include "bootloader/commands.h"
#include "bootloader/unlock.h"
#include "cycle/cycle_worker.h"
#include "cycle/forcing_boot_mode.h"

namespace velloquin {
namespace {

constexpr int kFirstWaitBudgetMs = 1000;
constexpr int kAfterLoadWaitBudgetMs = 3000;
constexpr int kFinishWaitBudgetMs = 1000;
constexpr int kFailedLoadPauseMs = 5000;
constexpr int kPulseLevelMs = 500;
constexpr int kLoadPulseLevels = 12;
constexpr int kResetPulseLevels = 24;
constexpr int kFinishSendsFirst = 4;
constexpr int kFinishSendsSecond = 3;

}  // namespace

void CycleWorker::ForcingBootModeStep() {
  DtrOn();
  RtsOff();
  Status(kForcingText);
  Channel().Close();
  RenewChannel();
  Channel().OpenPort(port_name_, kBootLoaderSettings, 1);
  Channel().SetHandshake(0);
  DtrOn();
  WaitForBootLoader(slot_, context_, kFirstWaitBudgetMs);
  if (!UnlockBootLoader(slot_, context_)) {
    WaitForBootLoader(slot_, context_, kFirstWaitBudgetMs);
    UnlockBootLoader(slot_, context_);
  }
  DtrOn();

  if (!LoadBootPrograms(slot_, context_)) {
    Pause(kFailedLoadPauseMs);
    SetState(NotInBootMode);
    return;
  }
  // From here on the channel is the one the load sequence left in the slot.
  Status(kFinishingTransferText);
  PulseDtr(kLoadPulseLevels, kPulseLevelMs);
  UnlockBootLoader(slot_, context_);
  WaitForBootLoader(slot_, context_, kAfterLoadWaitBudgetMs);
  for (int i = 0; i < kFinishSendsFirst; ++i) Channel().OutputString(FinishLoadCommand);
  WaitForBootLoader(slot_, context_, kFinishWaitBudgetMs);
  for (int i = 0; i < kFinishSendsSecond; ++i) Channel().OutputString(FinishLoadCommand);
  Status(kResettingText);
  PulseDtr(kResetPulseLevels, kPulseLevelMs);  // ends with DTR off
  SetState(Downloading);
}

}  // namespace velloquin
