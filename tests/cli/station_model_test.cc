#include "cli/station_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "cli/station_view.h"
#include "cycle/row_controls.h"

namespace velloquin {
namespace {

using ::testing::HasSubstr;

TEST(StationModel, EventsForEveryChangeOfTextOrState) {
  SlotTable table;
  VirtualClock clock(5000);
  StationModel model(&table, &clock);
  model.SetPortName(1, "COM7:");
  table.Slots[1].State = LookingForPrinter;
  clock.Advance(1250);
  model.SetStatusText(RowStatusControlIds[1], "Looking for Printer to be connected.");
  model.SetStatusText(RowStatusControlIds[1], "Looking for Printer to be connected.");  // same
  table.Slots[1].State = VerifyingBeforeProgram;
  model.PollStates();
  auto events = model.TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].t_ms, 1250);
  EXPECT_EQ(events[0].row, 2);
  EXPECT_EQ(events[0].port, "COM7:");
  EXPECT_EQ(events[1].state, VerifyingBeforeProgram);
  EXPECT_EQ(JsonEventLine(events[0]),
            "{\"t_ms\": 1250, \"row\": 2, \"port\": \"COM7:\", \"state\": \"LookingForPrinter\", "
            "\"state_value\": 2, \"status\": \"Looking for Printer to be connected.\"}");
  EXPECT_TRUE(model.TakeEvents().empty());
  model.SetStatusText(9999, "no such row");
  EXPECT_TRUE(model.TakeEvents().empty());
}

TEST(StationModel, CountsFinishedPrintersPerRow) {
  SlotTable table;
  VirtualClock clock;
  StationModel model(&table, &clock);
  auto go = [&](int row, SlotState state, int64_t after_ms) {
    clock.Advance(after_ms);
    table.Slots[row].State = state;
    model.PollStates();
  };
  go(0, LookingForPrinter, 0);
  go(0, CheckingBootMode, 1000);
  go(0, Downloading, 1000);
  go(0, Done, 3000);        // printer 1 done after 4 s
  go(0, Restarting, 500);
  go(0, CheckingBootMode, 500);
  go(0, Failed, 2000);      // printer 2 failed after 2 s
  go(0, Failed, 100);       // still the same printer
  go(1, NotInBootMode, 0);  // counts as failed
  model.BeginStop();
  go(1, Restarting, 0);
  go(1, Failed, 0);  // a download cut short by the stop: not a printer failure
  auto row = model.Row(0);
  EXPECT_EQ(row.counts.done, 1);
  EXPECT_EQ(row.counts.failed, 1);
  EXPECT_EQ(row.counts.busy_ms, 6000);
  EXPECT_TRUE(model.AllRowsFinished(2, 1));
  EXPECT_FALSE(model.AllRowsFinished(2, 2));
  EXPECT_FALSE(model.AllRowsFinished(3, 1));
  EXPECT_EQ(model.TotalDone(2), 1);
  EXPECT_EQ(model.TotalFailed(2), 2);
  std::string summary = JsonSummaryLine(model, 2, 12345);
  EXPECT_THAT(summary, HasSubstr("\"done\": 1, \"failed\": 2, \"elapsed_ms\": 12345"));
  EXPECT_THAT(summary, HasSubstr("{\"row\": 1, \"port\": \"COM1:\", \"done\": 1, \"failed\": 1, "
                                 "\"ms_per_printer\": 3000}"));
}

TEST(StationModel, ServesTheControlsToWorkers) {
  SlotTable table;
  VirtualClock clock;
  StationModel model(&table, &clock);
  model.SetFirmwarePath("/fw/a.bot");
  model.SetVerifyFileText(NoVerificationMessage);
  model.SetPreProgramVerify(true);
  EXPECT_EQ(model.GetPortName(RowPortControlIds[19]), "COM20:");
  EXPECT_EQ(model.GetPortName(1), "");
  EXPECT_EQ(model.GetFirmwarePath(), "/fw/a.bot");
  EXPECT_EQ(model.GetVerifyFileText(), NoVerificationMessage);
  EXPECT_TRUE(model.IsPreProgramVerifyChecked());
  EXPECT_FALSE(model.IsResetBaudRateChecked());
}

TEST(StationModel, ResetBaudRateForOneRowOnly) {
  SlotTable table;
  VirtualClock clock;
  StationModel model(&table, &clock);
  model.SetResetBaudRateForRow(2, true);
  bool row2 = false, row1 = true;
  std::thread a([&] {
    model.SetStatusText(RowStatusControlIds[2], "Waiting for Start....");
    row2 = model.IsResetBaudRateChecked();
  });
  std::thread b([&] {
    model.GetPortName(RowPortControlIds[1]);
    row1 = model.IsResetBaudRateChecked();
  });
  a.join();
  b.join();
  EXPECT_TRUE(row2);
  EXPECT_FALSE(row1);
  EXPECT_FALSE(model.IsResetBaudRateChecked()) << "a thread that is no worker sees the box";
}

TEST(StationView, JsonStringsStayValidForAnyByte) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("DONE. \r\nFile"), "\"DONE. \\r\\nFile\"");
  EXPECT_EQ(JsonString(std::string("\x01\xe9", 2)), "\"\\u0001\\u00e9\"");
}

TEST(StationView, ProgressFromTheStatusText) {
  EXPECT_EQ(ProgressPercent("Flash Update In Progress, 41% Data Sent ****"), 41);
  EXPECT_EQ(ProgressPercent("Flash Update DONE. "), -1);
}

}  // namespace
}  // namespace velloquin
