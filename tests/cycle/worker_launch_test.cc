#include "cycle/worker_launch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "cycle/row_controls.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;

// Launches into a list instead of threads.
struct Launcher {
  std::vector<PortSlot*> started;
  StartWorkerThread Start() {
    return [this](PortSlot* slot) {
      started.push_back(slot);
      return true;
    };
  }
};

TEST(WorkerLaunch, OneRowPerTickOnlyAfterStart) {
  SlotTable table;
  table.RowCount = 4;
  Launcher launcher;
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(OnLaunchTimerTick(table, launcher.Start()));
  EXPECT_TRUE(launcher.started.empty());
  OnStartPressed(table);
  OnStartPressed(table);  // twice changes nothing
  EXPECT_FALSE(OnLaunchTimerTick(table, launcher.Start()));
  EXPECT_FALSE(OnLaunchTimerTick(table, launcher.Start()));
  EXPECT_FALSE(OnLaunchTimerTick(table, launcher.Start()));
  EXPECT_TRUE(OnLaunchTimerTick(table, launcher.Start())) << "the timer stops after row 4";
  EXPECT_TRUE(OnLaunchTimerTick(table, launcher.Start()));
  ASSERT_EQ(launcher.started.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(launcher.started[i], &table.Slots[i]);
    EXPECT_EQ(table.Slots[i].State, Restarting);
    EXPECT_EQ(table.Slots[i].PortControlId, RowPortControlIds[i]);
    EXPECT_EQ(table.Slots[i].StatusControlId, RowStatusControlIds[i]);
  }
  for (int i = 4; i < kSlotCount; ++i) {
    EXPECT_EQ(table.Slots[i].State, NotStarted) << "slot " << i << " stays untouched";
    EXPECT_EQ(table.Slots[i].PortControlId, 0);
  }
  EXPECT_EQ(table.LaunchedCount, 4);
}

TEST(WorkerLaunch, ControlIdsOfTheIrregularRows) {
  EXPECT_EQ(RowPortControlIds[15], 1032);
  EXPECT_EQ(RowStatusControlIds[15], 1037);
  EXPECT_EQ(RowPortControlIds[19], 1036);
  EXPECT_EQ(RowStatusControlIds[19], 1041);
  EXPECT_EQ(RowOfStatusControl(1037), 15);
  EXPECT_EQ(RowOfPortControl(1033), 16);
  EXPECT_EQ(RowOfPortControl(1003), -1);
}

TEST(WorkerLaunch, CloseBeforeStartEndsAtOnce) {
  SlotTable table;
  VirtualClock clock;
  int pending = 0;
  EXPECT_TRUE(StopWorkers(table, [&] { ++pending; }, clock));
  EXPECT_EQ(clock.NowMs(), 0);
  EXPECT_EQ(pending, 0);
  for (const PortSlot& slot : table.Slots) EXPECT_EQ(slot.State, NotStarted);
}

// Workers played inside the message processing: each pass, every slot that
// was asked to stop ends after `delay` more passes.
struct PlayedWorkers {
  SlotTable& table;
  std::vector<int> passes_to_end;  // per slot, -1: never ends
  std::vector<int> seen_requests;
  void Pass() {
    for (size_t i = 0; i < passes_to_end.size(); ++i) {
      PortSlot& slot = table.Slots[i];
      if (slot.State == StopRequested) {
        ++seen_requests[i];
        if (passes_to_end[i] == 0) slot.State = Terminated;
        if (passes_to_end[i] > 0) --passes_to_end[i];
      }
    }
  }
};

TEST(WorkerLaunch, StopWaitsUntilEveryRowHasEnded) {
  SlotTable table;
  table.RowCount = 4;
  Launcher launcher;
  OnStartPressed(table);
  while (!OnLaunchTimerTick(table, launcher.Start())) {
  }
  for (int i = 0; i < 4; ++i) table.Slots[i].State = LookingForPrinter;
  VirtualClock clock;
  // Row 1 ends last: every failed scan starts again at row 1.
  PlayedWorkers workers{table, {20, 1, 1, 1}, std::vector<int>(4, 0)};
  EXPECT_TRUE(StopWorkers(table, [&] { workers.Pass(); }, clock));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(table.Slots[i].State, Terminated);
  // Row 1 ends in pass 21, which also finds it Terminated; three more passes
  // walk rows 2 to 4: 24 x 30 ms.
  EXPECT_EQ(clock.NowMs(), 24 * 30);
}

TEST(WorkerLaunch, StopIsBoundedWhenAWorkerNeverEnds) {
  SlotTable table;
  table.RowCount = 4;
  Launcher launcher;
  OnStartPressed(table);
  while (!OnLaunchTimerTick(table, launcher.Start())) {
  }
  VirtualClock clock;
  PlayedWorkers workers{table, {0, -1, 0, 0}, std::vector<int>(4, 0)};
  EXPECT_FALSE(StopWorkers(table, [&] { workers.Pass(); }, clock));
  EXPECT_EQ(clock.NowMs(), 130 * 30 + 70 * 10 + 130 * 10);
  EXPECT_EQ(table.Slots[0].State, Terminated) << "a Terminated slot is never written again";
}

TEST(WorkerLaunch, StopRequestIsRepeatedBeforeEachLoop) {
  // A worker inside a long step replaces the request with its step's result;
  // the request stored again before the second loop reaches it.
  SlotTable table;
  table.RowCount = 4;
  Launcher launcher;
  OnStartPressed(table);
  while (!OnLaunchTimerTick(table, launcher.Start())) {
  }
  VirtualClock clock;
  int pass = 0;
  auto process = [&] {
    ++pass;
    for (int i = 0; i < 4; ++i) {
      PortSlot& slot = table.Slots[i];
      if (i == 2 && pass == 1) {
        slot.State = Failed;  // the long step's result overwrites the request
      } else if (slot.State == StopRequested) {
        slot.State = Terminated;
      }
    }
  };
  EXPECT_TRUE(StopWorkers(table, process, clock));
  EXPECT_EQ(table.Slots[2].State, Terminated);
  EXPECT_GT(clock.NowMs(), 130 * 30) << "only the second loop's request reached row 3";
}

TEST(WorkerLaunch, CloseDuringTheLaunchStopsOnlyLaunchedRows) {
  SlotTable table;
  table.RowCount = 20;
  Launcher launcher;
  OnStartPressed(table);
  OnLaunchTimerTick(table, launcher.Start());
  OnLaunchTimerTick(table, launcher.Start());
  VirtualClock clock;
  EXPECT_TRUE(StopWorkers(
      table,
      [&] {
        for (int i = 0; i < 2; ++i) {
          if (table.Slots[i].State == StopRequested) table.Slots[i].State = Terminated;
        }
        OnLaunchTimerTick(table, launcher.Start());  // the timer still ticks
      },
      clock));
  EXPECT_EQ(launcher.started.size(), 2u) << "no row is launched once closing began";
  EXPECT_EQ(table.Slots[2].State, NotStarted);
}

}  // namespace
}  // namespace velloquin
