#include "sim/rfc2217_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "platform/sys_retry.h"

namespace velloquin::sim {
namespace {

using rfc2217::Bytes;
namespace wire = rfc2217;

constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr size_t kChunk = 1024;
// Commands waiting for their turn; no more is read from the client above it.
constexpr size_t kMaxQueuedCommands = 64;
// Reads of the socket or the port per turn of the loop.
constexpr int kReadsPerTurn = 4;
// Without a client the listener is looked at this often (and the stop flag).
constexpr int kIdlePollMs = 20;
constexpr char kSignatureText[] = "Velloquin simulated serial port";

// SET-CONTROL values the client's side has no use for.
constexpr uint8_t kControlAskBreak = 4;
constexpr uint8_t kControlAskDtr = 7;
constexpr uint8_t kControlAskRts = 10;
constexpr uint8_t kControlAskInbound = 13;
constexpr uint8_t kControlInboundNone = 14;
constexpr uint8_t kControlInboundXonXoff = 15;
constexpr uint8_t kControlInboundHardware = 16;
constexpr uint8_t kControlFlowDcd = 17;
constexpr uint8_t kControlInboundDtr = 18;
constexpr uint8_t kControlFlowDsr = 19;

// Line-error bits of CommStatus::errors (as ClearCommError reports them).
constexpr uint32_t kErrorRxOver = 0x1, kErrorOverrun = 0x2, kErrorParity = 0x4, kErrorFrame = 0x8,
                   kErrorBreak = 0x10;

bool IsAsking(const Bytes& value) {
  return std::all_of(value.begin(), value.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

// ---- ComPortSession ----

ComPortSession::ComPortSession(SerialDevice& port, Clock& clock,
                               const Rfc2217ServerOptions& options)
    : port_(port), clock_(clock), options_(options) {
  telnet_.AllowRemote(wire::kOptionComPort);
  telnet_.AllowLocal(wire::kOptionComPort);
  for (uint8_t option : {wire::kOptionBinary, wire::kOptionSga}) {
    telnet_.AllowLocal(option);
    telnet_.AllowRemote(option);
  }
}

int ComPortSession::Start() {
  // Reads return at once with what has come; writes are sized to the room in
  // the queue, and the short write time-out only guards against a port whose
  // queue is smaller than port_queue says.
  CommTimeoutValues timeouts;
  timeouts.read_interval = kMaxDword;
  timeouts.write_total_constant = 1;
  if (int error = port_.SetTimeouts(timeouts); error != 0) return error;
  std::optional<Dcb> dcb = CurrentDcb();
  if (!dcb) return port_error_;
  if (dcb->Has(kDcbOutxCtsFlow)) {
    outbound_flow_ = wire::kControlFlowHardware;
  } else if (dcb->Has(kDcbOutX)) {
    outbound_flow_ = wire::kControlFlowXonXoff;
  }
  inbound_flow_ = (dcb->flags & kDcbRtsControlMask) == kDcbRtsControlHandshake
                      ? kControlInboundHardware
                  : dcb->Has(kDcbInX) ? kControlInboundXonXoff
                                      : kControlInboundNone;
  // A serial line carries bytes, not text: binary both ways.
  telnet_.RequestLocal(wire::kOptionBinary, &outgoing_);
  telnet_.RequestRemote(wire::kOptionBinary, &outgoing_);
  telnet_.RequestLocal(wire::kOptionSga, &outgoing_);
  return 0;
}

bool ComPortSession::WantsInput() const {
  return port_error_ == 0 && for_port_.size() < options_.port_backlog &&
         commands_.size() < kMaxQueuedCommands && port_queued_ < options_.port_queue &&
         outgoing_.size() < options_.max_outgoing;
}

void ComPortSession::Receive(const uint8_t* data, size_t length) {
  parser_.Feed(data, length, *this);
}

void ComPortSession::OnData(const uint8_t* data, size_t length) {
  for_port_.insert(for_port_.end(), data, data + length);
  data_received_ += length;
}

void ComPortSession::OnNegotiation(uint8_t verb, uint8_t option) {
  telnet_.Receive(verb, option, &outgoing_);
  const bool on =
      telnet_.RemoteEnabled(wire::kOptionComPort) || telnet_.LocalEnabled(wire::kOptionComPort);
  if (on && !agreed_) {
    agreed_ = true;
    // The client learns the lines now, not only at their next change.
    CheckModemLines(true);
  }
  agreed_ = on;
}

void ComPortSession::OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) {
  if (option != wire::kOptionComPort || length == 0) return;
  const uint8_t code = payload[0];
  Bytes value(payload + 1, payload + length);
  switch (code) {
    case wire::kSetBaudRate:
    case wire::kSetDataSize:
    case wire::kSetParity:
    case wire::kSetStopSize:
    case wire::kSetControl:
      // These act on the line: they take their place among the data.
      commands_.push_back(Command{data_received_, code, std::move(value)});
      return;
    case wire::kSignature:
      // An empty one asks for ours; a client's own is only noted.
      if (value.empty())
        Reply(code, Bytes(kSignatureText, kSignatureText + sizeof(kSignatureText) - 1));
      return;
    case wire::kNotifyModemState:
      CheckModemLines(true);
      return;
    case wire::kNotifyLineState:
      Reply(code, {0});
      return;
    case wire::kSetModemStateMask:
      if (value.size() == 1) modem_mask_ = value[0];
      Reply(code, {modem_mask_});
      return;
    case wire::kSetLineStateMask:
      if (value.size() == 1) line_mask_ = value[0];
      Reply(code, {line_mask_});
      return;
    case wire::kFlowControlSuspend:
      client_suspended_ = true;
      return;
    case wire::kFlowControlResume:
      client_suspended_ = false;
      return;
    case wire::kPurgeData:
      // Drops what is waiting now, ahead of anything queued behind it.
      if (value.size() == 1 && value[0] >= wire::kPurgeReceive && value[0] <= wire::kPurgeBoth) {
        Purge(value[0]);
        Reply(code, value);
      }
      return;
    default:
      return;  // unknown or a server's code: nothing to answer
  }
}

void ComPortSession::Reply(uint8_t code, const Bytes& value) {
  wire::AppendComPort(static_cast<uint8_t>(code + wire::kServerOffset), value, &outgoing_);
}

void ComPortSession::Fail(int error) {
  if (port_error_ == 0) port_error_ = error != 0 ? error : EIO;
}

void ComPortSession::Service() {
  if (port_error_ != 0) return;
  CommStatus status;
  if (int error = port_.GetStatus(&status); error != 0) return Fail(error);
  port_queued_ = status.out_queue;
  ReportStatus(status);
  MoveToPort();
  ReadPort();
  CheckModemLines(false);
}

void ComPortSession::ReportStatus(const CommStatus& status) {
  if (!agreed_) return;
  uint8_t line = 0;
  if (status.errors & (kErrorRxOver | kErrorOverrun)) line |= wire::kLineOverrunError;
  if (status.errors & kErrorParity) line |= wire::kLineParityError;
  if (status.errors & kErrorFrame) line |= wire::kLineFramingError;
  if (status.errors & kErrorBreak) line |= wire::kLineBreak;
  if (line & line_mask_) Reply(wire::kNotifyLineState, {static_cast<uint8_t>(line & line_mask_)});
  const bool held = (status.hold & kHoldXoffHold) != 0;
  if (held != held_) {
    held_ = held;
    Reply(held ? wire::kFlowControlSuspend : wire::kFlowControlResume, {});
  }
}

void ComPortSession::MoveToPort() {
  uint8_t chunk[kChunk];
  while (port_error_ == 0) {
    const uint64_t limit = commands_.empty() ? data_received_ : commands_.front().at;
    if (data_to_port_ < limit) {
      const size_t room = options_.port_queue - std::min(port_queued_, options_.port_queue);
      const size_t count =
          static_cast<size_t>(std::min<uint64_t>({limit - data_to_port_, room, kChunk}));
      if (count == 0) return;
      std::copy_n(for_port_.begin(), count, chunk);
      IoResult result = port_.Write(chunk, static_cast<uint32_t>(count));
      if (!result.ok) return Fail(result.error);
      for_port_.erase(for_port_.begin(), for_port_.begin() + result.count);
      data_to_port_ += result.count;
      port_queued_ += result.count;
      if (result.count < count) return;
      continue;
    }
    if (commands_.empty() || !Apply(commands_.front())) return;
    commands_.pop_front();
  }
}

bool ComPortSession::Apply(Command& command) {
  if (command.code == wire::kSetControl) {
    if (command.value.size() == 1) ApplyControl(command.value[0]);
    return true;
  }
  if (port_queued_ > 0 && !IsAsking(command.value)) {
    // Bytes still queued would go out at the new speed or frame.
    const int64_t now = clock_.NowMs();
    if (command.due_ms < 0) command.due_ms = now;
    if (now - command.due_ms < options_.settings_drain_limit_ms) return false;
  }
  ApplyFrame(command.code, command.value);
  return true;
}

std::optional<Dcb> ComPortSession::CurrentDcb() {
  CommConfigRecord config;
  if (int error = port_.GetConfig(&config); error != 0) {
    Fail(error);
    return std::nullopt;
  }
  return config.dcb;
}

int ComPortSession::ChangeConfig(const std::function<void(Dcb&)>& change) {
  CommConfigRecord config;
  if (int error = port_.GetConfig(&config); error != 0) return error;
  Dcb& dcb = config.dcb;
  change(dcb);
  // SetConfig drives DTR and RTS from their modes, so the modes must say
  // what the lines are now, or a speed change would move them.
  dcb.Clear(kDcbDtrControlMask | kDcbRtsControlMask | kDcbOutX | kDcbInX | kDcbOutxCtsFlow);
  if (dtr_) dcb.Set(kDcbDtrControlEnable);
  if (inbound_flow_ == kControlInboundHardware) {
    dcb.Set(kDcbRtsControlHandshake);
  } else if (rts_) {
    dcb.Set(kDcbRtsControlEnable);
  }
  if (inbound_flow_ == kControlInboundXonXoff) dcb.Set(kDcbInX);
  if (outbound_flow_ == wire::kControlFlowXonXoff) dcb.Set(kDcbOutX);
  if (outbound_flow_ == wire::kControlFlowHardware) dcb.Set(kDcbOutxCtsFlow);
  return port_.SetConfig(config);
}

void ComPortSession::ApplyFrame(uint8_t code, const Bytes& value) {
  // A value of the wrong length is taken as a question.
  const bool asks = IsAsking(value) || value.size() != (code == wire::kSetBaudRate ? 4u : 1u);
  std::optional<uint32_t> baud = wire::DecodeBaudRate(value.data(), value.size());
  std::optional<uint8_t> parity = value.size() == 1 ? wire::ParityFromWire(value[0]) : std::nullopt;
  std::optional<uint8_t> stop = value.size() == 1 ? wire::StopBitsFromWire(value[0]) : std::nullopt;
  const bool valid = !asks && (code == wire::kSetBaudRate   ? baud.has_value()
                               : code == wire::kSetDataSize ? value[0] >= 5 && value[0] <= 8
                               : code == wire::kSetParity   ? parity.has_value()
                                                            : stop.has_value());
  if (valid) {
    int error = ChangeConfig([&](Dcb& dcb) {
      switch (code) {
        case wire::kSetBaudRate:
          dcb.baud_rate = *baud;
          break;
        case wire::kSetDataSize:
          dcb.byte_size = value[0];
          break;
        case wire::kSetParity:
          dcb.parity = *parity;
          break;
        default:
          dcb.stop_bits = *stop;
          break;
      }
    });
    // EINVAL: the port cannot run so; the reply tells what it runs with.
    if (error != 0 && error != EINVAL) return Fail(error);
  }
  std::optional<Dcb> dcb = CurrentDcb();
  if (!dcb) return;
  switch (code) {
    case wire::kSetBaudRate:
      Reply(code, wire::BaudRateValue(dcb->baud_rate));
      break;
    case wire::kSetDataSize:
      Reply(code, {dcb->byte_size});
      break;
    case wire::kSetParity:
      Reply(code, {wire::ParityToWire(dcb->parity).value_or(0)});
      break;
    default:
      Reply(code, {wire::StopBitsToWire(dcb->stop_bits).value_or(0)});
      break;
  }
}

void ComPortSession::ApplyControl(uint8_t value) {
  using namespace rfc2217;
  auto line = [&](LineFunction function, bool* level, bool on) {
    if (int error = port_.EscapeFunction(function); error != 0) return Fail(error);
    *level = on;
    Reply(kSetControl, {value});
  };
  auto flow = [&](uint8_t* setting) {
    const uint8_t before = *setting;
    *setting = value;
    if (int error = ChangeConfig([](Dcb&) {}); error != 0) {
      *setting = before;
      if (error != EINVAL) return Fail(error);
    }
    // Hardware inbound flow hands RTS to the port, which raises it.
    if (inbound_flow_ == kControlInboundHardware) rts_ = true;
    Reply(kSetControl, {*setting});
  };
  switch (value) {
    case kControlAskFlow:
      Reply(kSetControl, {outbound_flow_});
      return;
    case kControlFlowNone:
    case kControlFlowXonXoff:
    case kControlFlowHardware:
      return flow(&outbound_flow_);
    // No break condition on this port: it stays off.
    case kControlAskBreak:
    case kControlBreakOn:
    case kControlBreakOff:
      Reply(kSetControl, {kControlBreakOff});
      return;
    case kControlAskDtr:
      Reply(kSetControl, {dtr_ ? kControlDtrOn : kControlDtrOff});
      return;
    case kControlDtrOn:
      return line(LineFunction::kSetDtr, &dtr_, true);
    case kControlDtrOff:
      return line(LineFunction::kClearDtr, &dtr_, false);
    case kControlAskRts:
      Reply(kSetControl, {rts_ ? kControlRtsOn : kControlRtsOff});
      return;
    case kControlRtsOn:
      return line(LineFunction::kSetRts, &rts_, true);
    case kControlRtsOff:
      return line(LineFunction::kClearRts, &rts_, false);
    case kControlAskInbound:
    case kControlInboundDtr:
      Reply(kSetControl, {inbound_flow_});
      return;
    case kControlInboundNone:
    case kControlInboundXonXoff:
    case kControlInboundHardware:
      return flow(&inbound_flow_);
    case kControlFlowDcd:
    case kControlFlowDsr:
      Reply(kSetControl, {outbound_flow_});
      return;
    default:
      return;  // not a SET-CONTROL value: nothing to confirm
  }
}

void ComPortSession::Purge(uint8_t value) {
  if (value & wire::kPurgeTransmit) {
    // Client data not yet on the port goes; commands keep their order.
    data_to_port_ += for_port_.size();
    for_port_.clear();
  }
  if (value & wire::kPurgeReceive) {
    uint8_t chunk[kChunk];
    for (int i = 0; i < kReadsPerTurn; ++i) {
      IoResult result = port_.Read(chunk, sizeof(chunk));
      if (!result.ok) return Fail(result.error);
      if (result.count < sizeof(chunk)) break;
    }
  }
}

void ComPortSession::ReadPort() {
  if (client_suspended_) return;
  uint8_t chunk[kChunk];
  for (int i = 0; i < kReadsPerTurn && outgoing_.size() < options_.max_outgoing; ++i) {
    // Room for every byte doubled.
    const size_t want = std::min(kChunk, (options_.max_outgoing - outgoing_.size() + 1) / 2);
    IoResult result = port_.Read(chunk, static_cast<uint32_t>(want));
    if (!result.ok) return Fail(result.error);
    wire::AppendEscaped(chunk, result.count, &outgoing_);
    if (result.count < want) return;
  }
}

void ComPortSession::CheckModemLines(bool force) {
  // Until the option is on, the client knows no lines: its first notice
  // marks every line that is on as changed.
  if (!force && !agreed_) return;
  uint32_t status = 0;
  if (int error = port_.GetModemStatus(&status); error != 0) return Fail(error);
  // The line bits of a modem state have the values of the kModem* bits.
  const uint8_t lines = static_cast<uint8_t>(
      status & (wire::kModemCd | wire::kModemRi | wire::kModemDsr | wire::kModemCts));
  const uint8_t before = modem_known_ ? modem_lines_ : 0;
  const uint8_t changed = lines ^ before;
  uint8_t state = lines;
  if (changed & wire::kModemCts) state |= wire::kModemDeltaCts;
  if (changed & wire::kModemDsr) state |= wire::kModemDeltaDsr;
  if ((changed & wire::kModemRi) && !(lines & wire::kModemRi)) state |= wire::kModemRiTrailingEdge;
  if (changed & wire::kModemCd) state |= wire::kModemDeltaCd;
  modem_lines_ = lines;
  modem_known_ = true;
  // A change of a masked line or of its change bit is sent, even when both
  // lines dropped and the masked state reads 0.
  const uint8_t moved = changed | static_cast<uint8_t>(state & 0x0F);
  if (force || (agreed_ && (moved & modem_mask_) != 0)) {
    Reply(wire::kNotifyModemState, {static_cast<uint8_t>(state & modem_mask_)});
  }
}

// ---- Rfc2217Server ----

std::unique_ptr<Rfc2217Server> Rfc2217Server::Start(uint32_t ip, uint16_t port, PortOpener open,
                                                    Clock& clock, Rfc2217ServerOptions options,
                                                    int* error) {
  if ((ip >> 24) != 127) {
    *error = EADDRNOTAVAIL;  // only this machine's clients
    return nullptr;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  // Accepted sockets inherit the small receive buffer (it must be set before
  // the connection is made to bound the window).
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.socket_receive_buffer,
               sizeof(options.socket_receive_buffer));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(ip);
  address.sin_port = htons(port);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = errno;
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<Rfc2217Server> server(
      new Rfc2217Server(fd, ntohs(address.sin_port), std::move(open), clock, options));
  server->thread_ = std::thread([raw = server.get()] { raw->Run(); });
  return server;
}

Rfc2217Server::Rfc2217Server(int listener, uint16_t port, PortOpener open, Clock& clock,
                             Rfc2217ServerOptions options)
    : listener_(listener), port_(port), open_(std::move(open)), clock_(clock), options_(options) {}

Rfc2217Server::~Rfc2217Server() {
  Stop();
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

void Rfc2217Server::Stop() { stop_.store(true); }

bool Rfc2217Server::WaitStopped(int64_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return ended_signal_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return ended_; });
}

void Rfc2217Server::Run() {
  while (!stop_.load()) {
    pollfd entry{listener_, POLLIN, 0};
    if (RetryOnInterrupt([&] { return ::poll(&entry, 1, kIdlePollMs); }) <= 0) continue;
    int fd = RetryOnInterrupt(
        [&] { return ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); });
    if (fd < 0) {
      // Out of descriptors or the like: the backlog stays full, so wait
      // rather than spin on it.
      if (errno != EAGAIN && errno != EWOULDBLOCK) clock_.SleepMs(kIdlePollMs);
      continue;
    }
    Serve(fd);
    ::close(fd);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  ended_signal_.notify_all();
}

void Rfc2217Server::Serve(int fd) {
  // A client that gave up while it waited in the backlog: leave the port be.
  pollfd probe{fd, POLLRDHUP, 0};
  if (RetryOnInterrupt([&] { return ::poll(&probe, 1, 0); }) > 0 &&
      (probe.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
    return;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int error = 0;
  std::unique_ptr<SerialDevice> port = open_(&error);
  if (!port) return;  // the client sees the connection close while it negotiates
  ComPortSession session(*port, clock_, options_);
  if (session.Start() != 0) {
    port->Close();
    return;
  }
  clients_.fetch_add(1);
  connected_.store(true);
  int64_t last_sent_ms = clock_.NowMs();
  int64_t last_busy_ms = last_sent_ms;
  int64_t closing_deadline = -1;  // set once the client has hung up
  bool ended = false;             // its stream has ended (EOF read)
  uint8_t chunk[kChunk];
  while (!stop_.load()) {
    // Once the client has hung up that stays so: asking again would spin.
    short events = closing_deadline < 0 ? POLLRDHUP : 0;
    if (!ended && session.WantsInput()) events |= POLLIN;
    if (!session.outgoing().empty()) events |= POLLOUT;
    pollfd entry{fd, events, 0};
    // A quiet line is looked at less often; anything from the client wakes
    // the poll at once anyway.
    const int wait_ms = clock_.NowMs() - last_busy_ms > options_.idle_after_ms
                            ? options_.idle_service_ms
                            : options_.service_ms;
    if (RetryOnInterrupt([&] { return ::poll(&entry, 1, wait_ms); }) < 0) break;
    if (entry.revents & POLLNVAL) break;
    if ((entry.revents & (POLLHUP | POLLERR)) && !(events & (POLLIN | POLLOUT))) {
      clock_.SleepMs(wait_ms);  // nothing to wait on but the port
    }
    const int64_t now = clock_.NowMs();
    // A client that closes with our bytes unread resets the connection; what
    // it sent before is still readable, up to the reset itself.
    if ((entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) && closing_deadline < 0) {
      closing_deadline = now + options_.closing_limit_ms;
    }
    bool lost = false;
    const bool readable = entry.revents & (POLLIN | POLLERR);
    for (int i = 0; i < kReadsPerTurn && readable && session.WantsInput(); ++i) {
      ssize_t n = RetryOnInterrupt([&] { return ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT); });
      if (n > 0) {
        session.Receive(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) ended = true;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) lost = true;
      break;
    }
    if (lost) break;
    session.Service();
    if (session.Busy()) last_busy_ms = now;
    max_buffered_.store(std::max(max_buffered_.load(), session.buffered_for_port()));
    if (session.port_error() != 0) break;
    rfc2217::Bytes& out = session.outgoing();
    if (!out.empty()) {
      ssize_t n = RetryOnInterrupt(
          [&] { return ::send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
      if (n > 0) {
        out.erase(out.begin(), out.begin() + n);
        last_sent_ms = now;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        if (closing_deadline < 0) break;  // the connection is gone
        out.clear();                      // it has hung up: its last bytes still count
      }
    }
    if (out.empty()) last_sent_ms = now;
    if (now - last_sent_ms > options_.stall_limit_ms) break;
    if (ended && !session.HasWorkForPort()) break;
    if (closing_deadline >= 0 && now >= closing_deadline) break;
  }
  // As a station closing its port: what is queued drains, DTR and RTS drop.
  port->Close();
  connected_.store(false);
}

}  // namespace velloquin::sim
