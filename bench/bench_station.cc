#include "bench_station.h"

#include <sys/resource.h>
#include <time.h>

#include <array>
#include <memory>
#include <mutex>
#include <thread>

#include "bootloader/protocol_context.h"
#include "cycle/cycle_worker.h"
#include "cycle/row_controls.h"
#include "cycle/worker_launch.h"
#include "iocomm/channel_env.h"
#include "platform/settings_store.h"
#include "sim/sim_opener.h"
#include "sim/sim_printer.h"

namespace velloquin::bench {
namespace {

// Keeps what the channels log, for the report: a benchmark row that fails
// should say why.
class KeptLog final : public LogSink {
 public:
  void LogMessage(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messages_.size() < kMaxKept) messages_.push_back(text);
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  static constexpr size_t kMaxKept = 20;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

// The CPU time of the calling thread, in ms.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Passes every call on to the station's model, and notes the CPU time a
// row's worker thread has used when it first shows the "*** DONE" text: the
// cost of one cycle, the simulated printer's share included (it runs inside
// the worker's calls).
class CycleCpuMeter final : public WorkerOperations {
 public:
  explicit CycleCpuMeter(StationModel* model) : model_(model) { cpu_ms_.fill(-1); }

  void SetStatusText(int status_control_id, const std::string& text) override {
    int row = RowOfStatusControl(status_control_id);
    if (row >= 0 && text == kDoneText) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cpu_ms_[static_cast<size_t>(row)] < 0) cpu_ms_[static_cast<size_t>(row)] = ThreadCpuMs();
    }
    model_->SetStatusText(status_control_id, text);
  }
  std::string GetPortName(int id) override { return model_->GetPortName(id); }
  std::string GetFirmwarePath() override { return model_->GetFirmwarePath(); }
  std::string GetVerifyFileText() override { return model_->GetVerifyFileText(); }
  bool IsPreProgramVerifyChecked() override { return model_->IsPreProgramVerifyChecked(); }
  bool IsResetBaudRateChecked() override { return model_->IsResetBaudRateChecked(); }

  double CpuMs(int row) {
    std::lock_guard<std::mutex> lock(mutex_);
    return cpu_ms_[static_cast<size_t>(row)];
  }

 private:
  StationModel* model_;
  std::mutex mutex_;
  std::array<double, kSlotCount> cpu_ms_;
};

// Everything the workers touch. It must outlive them: when a worker misses
// the stop bound it is left in place (the process ends soon after).
struct Station {
  Station(Clock* clock, const BenchFiles& files, const std::string& boot_dir)
      : model(&table, clock),
        meter(&model),
        settings(files.settings_path(), [this](const std::string& text) { log.LogMessage(text); }) {
    env.clock = clock;
    env.settings = &settings;
    env.log = &log;
    protocol.dialog = &meter;
    protocol.clock = clock;
    protocol.log = &log;
    protocol.boot_directory = boot_dir;
    LoadUnlockKey(boot_dir, &protocol);
    // The printers share the station's key table, as the demo's do.
    opener = std::make_unique<sim::SimSerialOpener>(clock, protocol.unlock_key);
    env.serial = opener.get();
    protocol.channel_env = env;
  }

  SlotTable table;
  StationModel model;
  CycleCpuMeter meter;
  KeptLog log;
  FileSettingsStore settings;
  std::unique_ptr<sim::SimSerialOpener> opener;
  ChannelEnv env;
  ProtocolContext protocol;
};

double CpuMs(const rusage& usage) {
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

bool IsStuck(int32_t state) { return state == Failed || state == NotInBootMode; }

}  // namespace

StationRun RunStation(const RunRequest& request) {
  StationRun run;
  run.rows.resize(static_cast<size_t>(request.rows));
  Clock& rows_clock = *request.clock;
  // The front end's own waits (launch timer, stop) are real, whatever the
  // rows run on.
  Clock& front = SystemClock::Instance();

  // The model's events count from its construction, the first thing the
  // station does; launches are taken against the same origin.
  const int64_t origin = rows_clock.NowMs();
  auto* station = new Station(&rows_clock, *request.files, request.boot_dir);
  if (!station->protocol.unlock_key) {
    // Without the key no query after the download is ever answered: the
    // rows would wait out the whole limit.
    run.problems.push_back(station->protocol.unlock_key_problem);
    delete station;
    return run;
  }

  SlotTable& table = station->table;
  StationModel& model = station->model;
  for (PortSlot& slot : table.Slots) slot.Clear();
  table.RowCount = request.rows;
  table.LaunchedCount = 0;
  model.SetFirmwarePath(request.files->firmware_path());
  model.SetVerifyFileText(request.files->verify_path());
  for (int row = 0; row < request.rows; ++row) {
    model.SetPortName(row, BenchFiles::PortName(row));
    model.SetStatusText(RowStatusControlIds[static_cast<size_t>(row)], kThreadStartText);
  }
  model.TakeEvents();

  const ProtocolContext& protocol = station->protocol;
  auto start_thread = [&protocol](PortSlot* slot) {
    std::thread([slot, &protocol] { RunCycle(slot, protocol); }).detach();
    return true;
  };
  auto take_events = [&] {
    model.PollStates();
    for (RowEvent& event : model.TakeEvents()) {
      RowRun& row = run.rows[static_cast<size_t>(event.row - 1)];
      if (row.done_ms < 0 && event.status == kDoneText) row.done_ms = event.t_ms;
      row.events.push_back(std::move(event));
    }
  };

  rusage before{};
  rusage front_before{};
  getrusage(RUSAGE_SELF, &before);
  getrusage(RUSAGE_THREAD, &front_before);
  const int64_t started = front.NowMs();
  int64_t next_tick = started;
  OnStartPressed(table);
  bool all_launched = false;
  while (true) {
    const int64_t now = front.NowMs();
    if (!all_launched && now >= next_tick) {
      const int32_t index = table.LaunchedCount.load();
      const int64_t launch_ms = rows_clock.NowMs() - origin;
      all_launched = OnLaunchTimerTick(table, start_thread);
      if (table.LaunchedCount.load() > index) run.rows[static_cast<size_t>(index)].launch_ms = launch_ms;
      next_tick += kLaunchTimerPeriodMs;
    }
    model.WaitForChange(kLaunchTimerPeriodMs);
    take_events();
    if (front.NowMs() - started >= request.limit_ms) break;
    if (request.until_done && all_launched) {
      bool all_done = true;
      bool stuck = false;
      for (int row = 0; row < request.rows; ++row) {
        all_done = all_done && run.rows[static_cast<size_t>(row)].done_ms >= 0;
        stuck = stuck || IsStuck(table.Slots[static_cast<size_t>(row)].State.load());
      }
      run.all_done = all_done;
      if (all_done || stuck) break;
    }
  }
  rusage after{};
  rusage front_after{};
  getrusage(RUSAGE_SELF, &after);
  getrusage(RUSAGE_THREAD, &front_after);
  run.wall_ms = static_cast<double>(front.NowMs() - started);
  run.cpu_ms = CpuMs(after) - CpuMs(before);
  run.front_cpu_ms = CpuMs(front_after) - CpuMs(front_before);
  run.context_switches =
      (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw);
  for (int row = 0; row < request.rows; ++row) {
    RowRun& row_run = run.rows[static_cast<size_t>(row)];
    row_run.last_state = table.Slots[static_cast<size_t>(row)].State.load();
    row_run.cycle_cpu_ms = station->meter.CpuMs(row);
  }

  run.stopped = StopWorkers(table, take_events, front);
  getrusage(RUSAGE_SELF, &after);
  run.maxrss_kb = after.ru_maxrss;
  for (int row = 0; row < request.rows; ++row) {
    auto bench = station->opener->Find(request.files->SimSpec(row));
    if (!bench) continue;
    if (row == 0) run.first_row_sim_events = bench->Events();
    if (bench->Printer(1).received_image == request.files->image()) ++run.images_received;
  }
  for (std::string& message : station->log.Messages()) run.problems.push_back(std::move(message));
  if (run.stopped) {
    delete station;
  } else {
    run.problems.push_back("some workers did not stop within the bound; their station is left in place");
  }
  return run;
}

}  // namespace velloquin::bench
