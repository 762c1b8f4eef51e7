#include "sim/sim_bench.h"

#include <algorithm>
#include <cerrno>

namespace velloquin::sim {

namespace {

constexpr int kFirstHandle = 1000;

CommConfigRecord DefaultConfig() {
  // What a freshly opened tty runs with: 9600 baud 8N1, DTR and RTS raised.
  CommConfigRecord config;
  config.size = kCommConfigSize;
  config.version = 1;
  config.dcb.length = kDcbSize;
  config.dcb.baud_rate = 9600;
  config.dcb.byte_size = 8;
  config.dcb.parity = kNoParity;
  config.dcb.stop_bits = kOneStopBit;
  config.dcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
  return config;
}

uint64_t PrinterSeed(uint32_t seed, size_t index) {
  return (static_cast<uint64_t>(seed) << 20) ^ (index * 0x9E3779B97F4A7C15ull);
}

}  // namespace

SimBench::SimBench(SimOptions options, Clock* clock, std::shared_ptr<const UnlockKeyTable> key,
                   std::vector<std::optional<ByteVector>> mains)
    : options_(std::move(options)),
      clock_(clock),
      key_(std::move(key)),
      mains_(std::move(mains)),
      processed_ns_(NowNs()),
      config_(DefaultConfig()) {
  mains_.resize(options_.stories.size());
  if (!options_.stories.empty()) {
    next_arrival_ns_ = processed_ns_ + options_.stories[0].arrive_ms * kNsPerMs;
  }
}

int64_t SimBench::NextEventNs() const {
  int64_t next = std::min({next_arrival_ns_, station_tx_.HeadDoneNs(), printer_tx_.HeadDoneNs()});
  if (current_ != nullptr) next = std::min({next, leave_ns_, current_->NextEventNs()});
  return next;
}

void SimBench::RunNextEvent() {
  int64_t t = NextEventNs();
  int64_t now = std::max(t, processed_ns_);
  processed_ns_ = now;
  if (current_ != nullptr && leave_ns_ == t) {
    Unplug(now);
  } else if (current_ == nullptr && next_arrival_ns_ == t) {
    PlugIn(now);
  } else if (current_ != nullptr && current_->NextEventNs() == t) {
    current_->RunEvent(now);
  } else if (station_tx_.HeadDoneNs() == t) {
    DeliverToPrinter(station_tx_.PopHead(), now);
  } else {
    DeliverToStation(printer_tx_.PopHead(), now);
  }
}

void SimBench::AdvanceTo(int64_t t_ns) {
  while (NextEventNs() <= t_ns) RunNextEvent();
  processed_ns_ = std::max(processed_ns_, t_ns);
  std::erase_if(presses_, [this](const auto& press) { return press.second <= processed_ns_; });
}

int64_t SimBench::RunUntilStationBound(int64_t limit_ns) {
  while (true) {
    int64_t arrival = printer_tx_.HeadDoneNs();
    if (arrival != kNever) return arrival;
    int64_t t = NextEventNs();
    if (t == kNever || t > limit_ns) return kNever;
    RunNextEvent();
  }
}

int64_t SimBench::RunUntilTxAtMost(size_t size, int64_t limit_ns) {
  while (station_tx_.size() > size) {
    int64_t t = NextEventNs();
    if (t == kNever || t > limit_ns) return kNever;
    RunNextEvent();
  }
  return processed_ns_;
}

void SimBench::PlugIn(int64_t t_ns) {
  size_t index = printers_.size();
  const PrinterStory& story = options_.stories[index];
  printers_.push_back(std::make_unique<PrinterModel>(static_cast<int>(index + 1), story,
                                                     PrinterSeed(options_.seed, index), key_,
                                                     mains_[index], this));
  current_ = printers_.back().get();
  next_arrival_ns_ = kNever;
  leave_ns_ = story.leave_ms > 0 ? t_ns + story.leave_ms * kNsPerMs : kNever;
  if (story.button_ms != kNoTime) {
    int64_t press = t_ns + story.button_ms * kNsPerMs;
    presses_.emplace_back(press, press + story.hold_ms * kNsPerMs);
  }
  Log(current_->number(), SimEventKind::kPlugIn, "", t_ns);
  if (current_->chatters()) printer_tx_.Push(current_->NextChatterByte(), kPrinterModeFrame, t_ns);
}

void SimBench::Unplug(int64_t t_ns) {
  Log(current_->number(), SimEventKind::kUnplug, "", t_ns);
  printer_tx_.Clear();
  current_ = nullptr;
  leave_ns_ = kNever;
  size_t next = printers_.size();
  if (next < options_.stories.size()) {
    next_arrival_ns_ = t_ns + options_.stories[next].arrive_ms * kNsPerMs;
  }
}

void SimBench::DeliverToPrinter(const WireQueue::Item& item, int64_t t_ns) {
  if (current_ != nullptr) current_->OnStationByte(item.byte, item.frame, t_ns);
}

void SimBench::DeliverToStation(const WireQueue::Item& item, int64_t t_ns) {
  if (current_ != nullptr && current_->chatters() && printer_tx_.empty()) {
    printer_tx_.Push(current_->NextChatterByte(), kPrinterModeFrame, t_ns);
  }
  if (!open_) return;
  LineFrame listening = FrameOf(config_.dcb);
  bool readable = Compatible(item.frame, listening);
  uint8_t byte = readable ? item.byte : Garble(item.byte, item.frame, listening);
  if (!readable) errors_ |= kCeFrame;
  // With XON/XOFF output control the driver takes the two bytes itself.
  if (readable && config_.dcb.Has(kDcbOutX) && (byte == kXonChar || byte == kXoffChar)) {
    station_tx_.SetHeld(byte == kXoffChar, t_ns);
    return;
  }
  if (rx_.size() >= kRxBufferSize) {
    errors_ |= kCeRxOver;
    return;
  }
  rx_.push_back(byte);
  last_rx_arrival_ns_ = t_ns;
}

bool SimBench::ButtonDown(int64_t t_ns) const {
  if (button_held_) return true;
  return std::any_of(presses_.begin(), presses_.end(), [t_ns](const auto& press) {
    return press.first <= t_ns && t_ns < press.second;
  });
}

int SimBench::OpenPort(int* handle) {
  if (open_) return EBUSY;
  open_ = true;
  handle_ = kFirstHandle + ++opens_;
  *handle = handle_;
  rx_.clear();
  errors_ = 0;
  station_tx_.Clear();
  Log(0, SimEventKind::kPortOpened, "", processed_ns_);
  SetControlLine(ControlLine::kDtr, true, LineCause::kOpen);
  SetControlLine(ControlLine::kRts, true, LineCause::kOpen);
  return 0;
}

void SimBench::ClosePort() {
  station_tx_.Clear();
  rx_.clear();
  SetControlLine(ControlLine::kDtr, false, LineCause::kClose);
  SetControlLine(ControlLine::kRts, false, LineCause::kClose);
  open_ = false;
  Log(0, SimEventKind::kPortClosed, "", processed_ns_);
  if (current_ != nullptr) current_->OnPortClosed(processed_ns_);
}

void SimBench::ApplyConfig(const CommConfigRecord& config) {
  LineFrame frame = FrameOf(config.dcb);
  if (frame != FrameOf(config_.dcb)) station_tx_.Reframe(frame, processed_ns_);
  config_ = config;
  if (!config.dcb.Has(kDcbOutX)) station_tx_.SetHeld(false, processed_ns_);
  line_settings_.Add(LineSettingsChange{processed_ns_, frame, config.dcb.flags});
  // The DTR and RTS modes of the block drive the lines as SetCommState does:
  // disabled lowers the line, enabled or handshake raises it.
  uint32_t dtr_mode = config.dcb.flags & kDcbDtrControlMask;
  uint32_t rts_mode = config.dcb.flags & kDcbRtsControlMask;
  SetControlLine(ControlLine::kDtr, dtr_mode != 0, LineCause::kConfig);
  SetControlLine(ControlLine::kRts, rts_mode == kDcbRtsControlEnable ||
                                        rts_mode == kDcbRtsControlHandshake,
                 LineCause::kConfig);
}

void SimBench::SetControlLine(ControlLine line, bool on, LineCause cause) {
  bool& level = line == ControlLine::kDtr ? dtr_ : rts_;
  bool changed = level != on;
  level = on;
  if (cause == LineCause::kEscape || changed) {
    line_levels_.Add(LineLevelChange{processed_ns_, line, on, cause});
  }
  if (changed && line == ControlLine::kDtr && current_ != nullptr) current_->OnDtr(processed_ns_);
}

uint32_t SimBench::QueueTx(const uint8_t* data, uint32_t length) {
  uint32_t room = static_cast<uint32_t>(kTxQueueSize - station_tx_.size());
  uint32_t count = std::min(room, length);
  LineFrame frame = FrameOf(config_.dcb);
  for (uint32_t i = 0; i < count; ++i) station_tx_.Push(data[i], frame, processed_ns_);
  return count;
}

uint32_t SimBench::TakeRx(uint8_t* buffer, uint32_t size) {
  uint32_t count = static_cast<uint32_t>(std::min<size_t>(size, rx_.size()));
  std::copy_n(rx_.begin(), count, buffer);
  rx_.erase(rx_.begin(), rx_.begin() + count);
  return count;
}

uint32_t SimBench::ModemStatus() {
  uint32_t status = 0;
  if (current_ != nullptr) status |= kModemDsrOn;
  if (ButtonDown(processed_ns_)) status |= kModemCtsOn;
  return status;
}

CommStatus SimBench::TakeStatus() {
  CommStatus status;
  status.errors = errors_;
  errors_ = 0;
  if (station_tx_.held()) status.hold |= kHoldXoffHold;
  status.in_queue = static_cast<uint32_t>(rx_.size());
  status.out_queue = static_cast<uint32_t>(station_tx_.size());
  return status;
}

bool SimBench::PlugInNext() {
  if (current_ != nullptr || printers_.size() >= options_.stories.size()) return false;
  PlugIn(processed_ns_);
  return true;
}

void SimBench::UnplugNow() {
  if (current_ != nullptr) Unplug(processed_ns_);
}

void SimBench::Send(const ByteVector& bytes, const LineFrame& frame, int64_t not_before_ns) {
  for (uint8_t byte : bytes) printer_tx_.Push(byte, frame, not_before_ns);
}

void SimBench::Log(int printer, SimEventKind kind, std::string detail, int64_t t_ns) {
  events_.Add(SimEvent{t_ns, printer, kind, std::move(detail)});
}

void SimBench::LeaveAt(int64_t t_ns) {
  if (current_ != nullptr) leave_ns_ = std::min(leave_ns_, t_ns);
}

void SimBench::PressButton(int64_t from_ns, int64_t until_ns) {
  presses_.emplace_back(from_ns, until_ns);
}

}  // namespace velloquin::sim
