#include "sim/sim_serial_device.h"

#include <algorithm>
#include <cerrno>

namespace velloquin::sim {

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr int64_t kClosingWaitNs = 30000 * kNsPerMs;
// With nothing to wait for and no time-out, a tty blocks for ever; the
// simulated one looks again at this interval.
constexpr int64_t kIdleWaitNs = 1000 * kNsPerMs;

int64_t Deadline(int64_t start_ns, uint32_t constant, uint32_t multiplier, uint32_t bytes) {
  if (constant == 0 && multiplier == 0) return kNever;
  return start_ns + (static_cast<int64_t>(constant) + static_cast<int64_t>(multiplier) * bytes) *
                        kNsPerMs;
}

}  // namespace

SimSerialDevice::SimSerialDevice(std::shared_ptr<SimBench> bench, int handle)
    : bench_(std::move(bench)), handle_(handle) {}

SimSerialDevice::~SimSerialDevice() { Close(); }

bool SimSerialDevice::SleepUntil(std::unique_lock<std::mutex>& lock, int64_t t_ns) {
  int64_t wake_ms = (t_ns + kNsPerMs - 1) / kNsPerMs;
  lock.unlock();
  bench_->clock()->SleepUntil(wake_ms);
  lock.lock();
  bench_->AdvanceTo(bench_->NowNs());
  return bench_->IsOpen(handle_);
}

int SimSerialDevice::GetConfig(CommConfigRecord* config) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  *config = bench_->config();
  return 0;
}

int SimSerialDevice::SetConfig(const CommConfigRecord& config) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  if (!IsSupportedFrame(FrameOf(config.dcb))) return EINVAL;
  bench_->AdvanceTo(bench_->NowNs());
  bench_->ApplyConfig(config);
  return 0;
}

int SimSerialDevice::SetTimeouts(const CommTimeoutValues& timeouts) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  bench_->timeouts = timeouts;
  return 0;
}

IoResult SimSerialDevice::Write(const uint8_t* data, uint32_t length) {
  std::unique_lock lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return IoResult{false, 0, EBADF};
  int64_t now = bench_->NowNs();
  bench_->AdvanceTo(now);
  const CommTimeoutValues& t = bench_->timeouts;
  int64_t deadline = Deadline(now, t.write_total_constant, t.write_total_multiplier, length);
  uint32_t sent = 0;
  while (true) {
    sent += bench_->QueueTx(data + sent, length - sent);
    if (sent == length) return IoResult{true, sent, 0};
    if (deadline != kNever && bench_->NowNs() >= deadline) return IoResult{true, sent, 0};
    // Wait until the rest fits (or the queue is empty, for a rest larger
    // than the queue), or the time-out.
    size_t need = std::min<size_t>(length - sent, kTxQueueSize);
    int64_t room = bench_->RunUntilTxAtMost(kTxQueueSize - need, deadline);
    int64_t wake = std::min(room, deadline);
    if (wake == kNever) wake = bench_->NowNs() + kIdleWaitNs;
    if (!SleepUntil(lock, wake)) return IoResult{false, sent, EBADF};
  }
}

IoResult SimSerialDevice::Read(uint8_t* buffer, uint32_t size) {
  std::unique_lock lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return IoResult{false, 0, EBADF};
  int64_t start = bench_->NowNs();
  bench_->AdvanceTo(start);
  const CommTimeoutValues t = bench_->timeouts;
  bool at_once = t.read_interval == kMaxDword && t.read_total_constant == 0 &&
                 t.read_total_multiplier == 0;
  bool any_byte_ends = t.read_interval == kMaxDword;
  int64_t total_deadline =
      at_once ? start : Deadline(start, t.read_total_constant, t.read_total_multiplier, size);
  uint32_t got = 0;
  while (true) {
    got += bench_->TakeRx(buffer + got, size - got);
    if (got == size || (any_byte_ends && got > 0)) return IoResult{true, got, 0};
    int64_t deadline = total_deadline;
    if (got > 0 && t.read_interval != 0 && !any_byte_ends) {
      int64_t last = std::max(bench_->last_rx_arrival_ns(), start);
      deadline = std::min(deadline, last + static_cast<int64_t>(t.read_interval) * kNsPerMs);
    }
    if (deadline != kNever && bench_->NowNs() >= deadline) return IoResult{true, got, 0};
    int64_t arrival = bench_->RunUntilStationBound(deadline);
    int64_t wake = std::min(arrival, deadline);
    if (wake == kNever) wake = bench_->NowNs() + kIdleWaitNs;
    if (!SleepUntil(lock, wake)) return IoResult{false, got, EBADF};
  }
}

int SimSerialDevice::GetModemStatus(uint32_t* status) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  bench_->AdvanceTo(bench_->NowNs());
  *status = bench_->ModemStatus();
  return 0;
}

int SimSerialDevice::EscapeFunction(LineFunction function) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  bench_->AdvanceTo(bench_->NowNs());
  bool dtr = function == LineFunction::kSetDtr || function == LineFunction::kClearDtr;
  bool on = function == LineFunction::kSetDtr || function == LineFunction::kSetRts;
  bench_->SetControlLine(dtr ? ControlLine::kDtr : ControlLine::kRts, on, LineCause::kEscape);
  return 0;
}

int SimSerialDevice::GetStatus(CommStatus* status) {
  std::lock_guard lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  bench_->AdvanceTo(bench_->NowNs());
  *status = bench_->TakeStatus();
  return 0;
}

int SimSerialDevice::Close() {
  std::unique_lock lock(bench_->mutex());
  if (!bench_->IsOpen(handle_)) return EBADF;
  int64_t now = bench_->NowNs();
  bench_->AdvanceTo(now);
  int64_t deadline = now + kClosingWaitNs;
  while (bench_->tx_size() > 0 && bench_->NowNs() < deadline) {
    int64_t drained = bench_->RunUntilTxAtMost(0, deadline);
    if (!SleepUntil(lock, std::min(drained, deadline))) return 0;  // closed meanwhile
  }
  bench_->ClosePort();
  return 0;
}

}  // namespace velloquin::sim
