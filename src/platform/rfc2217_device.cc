#include "platform/rfc2217_device.h"
#include "platform/sys_retry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <limits>
#include <mutex>
#include <set>
#include <utility>

namespace velloquin {
namespace {

using rfc2217::Bytes;

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
constexpr uint32_t kMaxDword = 0xFFFFFFFF;
constexpr size_t kReadChunk = 4096;
// Reads per Exchange: bounds the time one call spends on a flooding server.
constexpr int kReadsPerExchange = 8;
// The socket's send buffer (the kernel doubles it): little in flight.
constexpr int kSendBufferBytes = 4096;
constexpr char kScheme[] = "rfc2217://";

// DSR and CTS, and their change bits: without the change bits a server
// masks out the notice of both lines dropping at once (a state of 0).
constexpr uint8_t kModemStateMask =
    rfc2217::kModemDsr | rfc2217::kModemCts | rfc2217::kModemDeltaDsr | rfc2217::kModemDeltaCts;
constexpr uint8_t kLineStateMask = rfc2217::kLineBreak | rfc2217::kLineFramingError |
                                   rfc2217::kLineParityError | rfc2217::kLineOverrunError;

int64_t TotalDeadline(int64_t now, uint32_t constant, uint32_t multiplier, uint32_t count) {
  if (constant == 0 && multiplier == 0) return kNoDeadline;
  return now + static_cast<int64_t>(uint64_t{constant} + uint64_t{multiplier} * count);
}

int PollTimeout(int64_t deadline_ms, int64_t now_ms) {
  if (deadline_ms == kNoDeadline) return -1;
  return static_cast<int>(std::clamp<int64_t>(deadline_ms - now_ms, 0, INT_MAX));
}

IoResult Ok(uint32_t count) { return IoResult{true, count, 0}; }
IoResult Failed(int error, uint32_t count = 0) { return IoResult{false, count, error}; }

// Connects a non-blocking TCP socket by `deadline_ms`; the socket or -1 with
// the errno in *error.
int Connect(const Rfc2217Address& address, Clock& clock, int64_t deadline_ms, int* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // Every command is a few bytes that must go at once.
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  int send_buffer = kSendBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(address.ip);
  peer.sin_port = htons(address.port);
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
  if (result != 0 && (errno == EINPROGRESS || errno == EINTR)) {
    pollfd entry{fd, POLLOUT, 0};
    result = RetryOnInterrupt([&] { return ::poll(&entry, 1, PollTimeout(deadline_ms, clock.NowMs())); });
    if (result == 0) {
      errno = ETIMEDOUT;
      result = -1;
    } else if (result > 0) {
      int so_error = 0;
      socklen_t length = sizeof(so_error);
      result = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
      if (result == 0 && so_error != 0) {
        errno = so_error;
        result = -1;
      }
    }
  }
  if (result != 0) {
    *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// ---- Names and exclusive opening ----

std::optional<Rfc2217Address> ParseRfc2217Name(const std::string& name) {
  const size_t scheme = sizeof(kScheme) - 1;
  if (name.size() <= scheme || ::strncasecmp(name.c_str(), kScheme, scheme) != 0) {
    return std::nullopt;
  }
  std::string rest = name.substr(scheme);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string host = rest.substr(0, colon);
  const std::string port_text = rest.substr(colon + 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || ec != std::errc() || end != port_text.data() + port_text.size() ||
      port == 0 || port > 65535) {
    return std::nullopt;
  }
  Rfc2217Address address;
  address.port = static_cast<uint16_t>(port);
  in_addr parsed{};
  if (::strcasecmp(host.c_str(), "localhost") == 0) {
    address.ip = INADDR_LOOPBACK;
  } else if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) {
    address.ip = ntohl(parsed.s_addr);
  } else {
    return std::nullopt;
  }
  return address;
}

// The addresses held by open devices of one opener: a second open of the
// same port is refused, as an exclusive open of a local port is.
class Rfc2217Opener::Claims {
 public:
  bool Take(const Rfc2217Address& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.insert(Key(address)).second;
  }
  void Give(const Rfc2217Address& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.erase(Key(address));
  }

 private:
  static uint64_t Key(const Rfc2217Address& a) { return (uint64_t{a.ip} << 16) | a.port; }
  std::mutex mutex_;
  std::set<uint64_t> held_;
};

Rfc2217Opener::Rfc2217Opener(Clock& clock, Rfc2217Options options)
    : clock_(clock), options_(options), claims_(std::make_shared<Claims>()) {}

Rfc2217Opener::~Rfc2217Opener() = default;

std::unique_ptr<SerialDevice> Rfc2217Opener::Open(const std::string& name, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  std::optional<Rfc2217Address> address = ParseRfc2217Name(name);
  if (!address) {
    *error = EINVAL;
    return nullptr;
  }
  if (!claims_->Take(*address)) {
    *error = EBUSY;
    return nullptr;
  }
  // Gives the address back when the device (or this failed open) lets go.
  std::shared_ptr<void> release(nullptr, [claims = claims_, a = *address](void*) { claims->Give(a); });
  int fd = Connect(*address, clock_, clock_.NowMs() + options_.connect_timeout_ms, error);
  if (fd < 0) return nullptr;
  auto device = std::make_unique<Rfc2217Device>(fd, clock_, options_, std::move(release));
  if (int result = device->Negotiate(); result != 0) {
    *error = result;
    return nullptr;
  }
  return device;
}

// ---- The device ----

Rfc2217Device::Rfc2217Device(int fd, Clock& clock, const Rfc2217Options& options,
                             std::shared_ptr<void> release)
    : fd_(fd), clock_(clock), options_(options), release_(std::move(release)) {}

Rfc2217Device::~Rfc2217Device() {
  if (fd_ >= 0) Close();
}

int Rfc2217Device::Negotiate() {
  client_.Start();
  const int64_t deadline = clock_.NowMs() + options_.negotiation_timeout_ms;
  WaitFor([&] { return client_.ComPortAccepted() || client_.ComPortRefused(); }, deadline);
  if (client_.ComPortRefused()) return EPROTONOSUPPORT;
  if (!client_.ComPortAccepted()) return lost_error_ != 0 ? lost_error_ : EPROTO;
  client_.SendCommand(rfc2217::kSetModemStateMask, {kModemStateMask}, false);
  client_.SendCommand(rfc2217::kSetLineStateMask, {kLineStateMask}, false);
  client_.SendCommand(rfc2217::kPurgeData, {rfc2217::kPurgeBoth}, true);
  // Asks for the current lines now rather than at their next change.
  client_.SendCommand(rfc2217::kNotifyModemState, {}, false);
  if (int error = AwaitReplies(true); error != 0) return error;
  // A freshly opened port starts with nothing received.
  client_.DiscardInput();
  return 0;
}

int Rfc2217Device::UsableError() const {
  if (fd_ < 0) return EBADF;
  return lost_error_;
}

void Rfc2217Device::Flush() {
  Bytes& out = client_.outgoing();
  size_t sent = 0;
  while (lost_error_ == 0 && sent < out.size()) {
    ssize_t n = RetryOnInterrupt(
        [&] { return ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT); });
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lost_error_ = errno;
    } else {
      break;
    }
  }
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void Rfc2217Device::ReadAvailable() {
  uint8_t chunk[kReadChunk];
  for (int i = 0; i < kReadsPerExchange && lost_error_ == 0; ++i) {
    ssize_t n = RetryOnInterrupt([&] { return ::recv(fd_, chunk, sizeof(chunk), MSG_DONTWAIT); });
    if (n > 0) {
      client_.Receive(chunk, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof(chunk)) break;
    } else if (n == 0) {
      lost_error_ = ECONNRESET;  // the server closed the connection
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lost_error_ = errno;
    } else {
      break;
    }
  }
  Flush();  // answers to negotiations go out at once
}

Rfc2217Device::Wait Rfc2217Device::Exchange(int64_t deadline_ms) {
  Flush();
  if (lost_error_ != 0) return Wait::kLost;
  const bool sending = !client_.outgoing().empty();
  pollfd entry{fd_, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
  int ready = RetryOnInterrupt([&] { return ::poll(&entry, 1, PollTimeout(deadline_ms, clock_.NowMs())); });
  if (ready < 0) {
    lost_error_ = errno;
    return Wait::kLost;
  }
  if (ready == 0) return Wait::kTimedOut;
  if (entry.revents & (POLLIN | POLLHUP | POLLERR)) ReadAvailable();
  if (entry.revents & POLLOUT) Flush();
  return lost_error_ != 0 ? Wait::kLost : Wait::kProgress;
}

template <typename Done>
Rfc2217Device::Wait Rfc2217Device::WaitFor(Done done, int64_t deadline_ms) {
  for (;;) {
    Flush();  // what is queued goes first: a sent command may be all we wait for
    if (done()) return Wait::kProgress;
    if (lost_error_ != 0) return Wait::kLost;
    if (deadline_ms != kNoDeadline && clock_.NowMs() >= deadline_ms) return Wait::kTimedOut;
    Wait result = Exchange(deadline_ms);
    if (result == Wait::kTimedOut) return done() ? Wait::kProgress : Wait::kTimedOut;
  }
}

int Rfc2217Device::AwaitReplies(bool need_modem_state) {
  const int64_t deadline = clock_.NowMs() + options_.reply_timeout_ms;
  Wait result = WaitFor(
      [&] {
        return !client_.AwaitingReplies() && client_.outgoing().empty() &&
               (!need_modem_state || client_.modem_state_known());
      },
      deadline);
  if (result == Wait::kLost) return lost_error_;
  // Whatever is still unanswered is left behind; the server may never send it.
  if (result == Wait::kTimedOut) client_.GiveUpOnReplies();
  return 0;
}

int Rfc2217Device::GetConfig(CommConfigRecord* config) {
  if (int error = UsableError(); error != 0) return error;
  if (config_) {
    *config = *config_;
    return 0;
  }
  // Nothing applied yet: ask the server what the port runs with.
  using namespace rfc2217;
  client_.SendCommand(kSetBaudRate, BaudRateValue(0), true);
  client_.SendCommand(kSetDataSize, {0}, true);
  client_.SendCommand(kSetParity, {0}, true);
  client_.SendCommand(kSetStopSize, {0}, true);
  if (int error = AwaitReplies(false); error != 0) return error;
  auto reply_byte = [&](uint8_t command) -> std::optional<uint8_t> {
    const auto& reply = client_.LastReply(command);
    if (!reply || reply->size() != 1) return std::nullopt;
    return (*reply)[0];
  };
  *config = CommConfigRecord{};
  config->size = kCommConfigSize;
  config->version = 1;
  Dcb& dcb = config->dcb;
  dcb.length = kDcbSize;
  dcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
  const auto& baud = client_.LastReply(kSetBaudRate);
  std::optional<uint32_t> speed = baud ? DecodeBaudRate(baud->data(), baud->size()) : std::nullopt;
  dcb.baud_rate = speed && *speed != 0 ? *speed : 9600;  // what a fresh port runs at
  std::optional<uint8_t> size = reply_byte(kSetDataSize);
  dcb.byte_size = size && *size >= 5 && *size <= 8 ? *size : 8;
  dcb.parity = ParityFromWire(reply_byte(kSetParity).value_or(0)).value_or(kNoParity);
  dcb.stop_bits = StopBitsFromWire(reply_byte(kSetStopSize).value_or(0)).value_or(kOneStopBit);
  return 0;
}

int Rfc2217Device::SetConfig(const CommConfigRecord& config) {
  using namespace rfc2217;
  if (int error = UsableError(); error != 0) return error;
  std::optional<LineSettings> wanted = LineSettingsFromDcb(config.dcb);
  if (!wanted) return EINVAL;
  // Like a tty, applying the same settings again changes nothing on the
  // line, so only what differs goes out: the channel re-applies its DCB at
  // every change of flow-control mode.
  const bool known = settings_.has_value();
  if (!known || settings_->baud_rate != wanted->baud_rate) {
    client_.SendCommand(kSetBaudRate, BaudRateValue(wanted->baud_rate), true);
  }
  if (!known || settings_->data_size != wanted->data_size) {
    client_.SendCommand(kSetDataSize, {wanted->data_size}, true);
  }
  if (!known || settings_->parity != wanted->parity) {
    client_.SendCommand(kSetParity, {wanted->parity}, true);
  }
  if (!known || settings_->stop_size != wanted->stop_size) {
    client_.SendCommand(kSetStopSize, {wanted->stop_size}, true);
  }
  if (!known || settings_->flow != wanted->flow) {
    client_.SendCommand(kSetControl, {wanted->flow}, true);
  }
  // DTR follows its control mode (enabled or handshake: on; disabled: off),
  // RTS its own (enabled: on; disabled: off; handshake: left to the flow).
  const bool dtr = (config.dcb.flags & kDcbDtrControlMask) != 0;
  if (dtr_ != dtr) client_.SendCommand(kSetControl, {dtr ? kControlDtrOn : kControlDtrOff}, true);
  dtr_ = dtr;
  const uint32_t rts_mode = config.dcb.flags & kDcbRtsControlMask;
  if (rts_mode == 0 || rts_mode == kDcbRtsControlEnable) {
    const bool rts = rts_mode != 0;
    if (rts_ != rts) client_.SendCommand(kSetControl, {rts ? kControlRtsOn : kControlRtsOff}, true);
    rts_ = rts;
  } else {
    rts_.reset();  // the flow control drives it now: its level is unknown
  }
  if (int error = AwaitReplies(false); error != 0) return error;
  if (client_.TakeSettingRefused()) {
    settings_.reset();  // the server runs with something else: send all next time
    return EINVAL;
  }
  settings_ = wanted;
  config_ = config;
  return 0;
}

int Rfc2217Device::SetTimeouts(const CommTimeoutValues& timeouts) {
  if (fd_ < 0) return EBADF;
  timeouts_ = timeouts;
  return 0;
}

int Rfc2217Device::EscapeFunction(LineFunction function) {
  using namespace rfc2217;
  if (int error = UsableError(); error != 0) return error;
  const bool on = function == LineFunction::kSetDtr || function == LineFunction::kSetRts;
  uint8_t value = 0;
  if (function == LineFunction::kSetDtr || function == LineFunction::kClearDtr) {
    value = on ? kControlDtrOn : kControlDtrOff;
    dtr_ = on;
  } else {
    value = on ? kControlRtsOn : kControlRtsOff;
    rts_ = on;
  }
  // Sent even when the level is already right: the caller asked for a line
  // action, and a server may log or time it.
  client_.SendCommand(kSetControl, {value}, true);
  return AwaitReplies(false);
}

IoResult Rfc2217Device::Write(const uint8_t* data, uint32_t length) {
  if (int error = UsableError(); error != 0) return Failed(error);
  if (length == 0) return Ok(0);
  const CommTimeoutValues& t = timeouts_;
  const int64_t start = clock_.NowMs();
  int64_t deadline = TotalDeadline(start, t.write_total_constant, t.write_total_multiplier, length);
  const bool limited = deadline != kNoDeadline;
  if (!limited) deadline = start + options_.write_stall_limit_ms;
  uint32_t taken = 0;
  bool last_try = false;
  for (;;) {
    taken += static_cast<uint32_t>(
        client_.QueueData(data + taken, length - taken, options_.max_outgoing));
    Flush();
    if (lost_error_ != 0) return Failed(lost_error_, taken);
    if (taken == length) return Ok(taken);
    // The socket took it all: queue more at once. Wait only when it is full.
    if (client_.outgoing().size() + 2 <= options_.max_outgoing) continue;
    if (last_try || clock_.NowMs() >= deadline) {
      return limited ? Ok(taken) : Failed(ETIMEDOUT, taken);
    }
    if (Exchange(deadline) == Wait::kTimedOut) last_try = true;
  }
}

IoResult Rfc2217Device::Read(uint8_t* buffer, uint32_t size) {
  if (fd_ < 0) return Failed(EBADF);
  if (size == 0) return Ok(0);
  const CommTimeoutValues& t = timeouts_;
  const int64_t start = clock_.NowMs();
  const bool at_once = t.read_interval == kMaxDword && t.read_total_multiplier == 0 &&
                       t.read_total_constant == 0;
  const bool first_byte_ends = t.read_interval == kMaxDword &&
                               t.read_total_multiplier == kMaxDword &&
                               t.read_total_constant > 0 && t.read_total_constant < kMaxDword;
  int64_t total = TotalDeadline(start, t.read_total_constant, t.read_total_multiplier, size);
  if (at_once) total = start;
  if (first_byte_ends) total = start + t.read_total_constant;
  const bool use_interval = t.read_interval != 0 && t.read_interval != kMaxDword;
  uint32_t got = 0;
  int64_t last_byte_ms = start;
  bool last_pass = false;
  for (;;) {
    const size_t n = client_.TakeInput(buffer + got, size - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      last_byte_ms = clock_.NowMs();
    }
    if (got == size || (first_byte_ends && got > 0)) return Ok(got);
    // Bytes that came before the connection went are delivered first.
    if (lost_error_ != 0) return got > 0 ? Ok(got) : Failed(lost_error_);
    if (last_pass) return Ok(got);
    int64_t deadline = total;
    if (use_interval && got > 0) deadline = std::min(deadline, last_byte_ms + t.read_interval);
    if (deadline != kNoDeadline && clock_.NowMs() >= deadline) {
      deadline = clock_.NowMs();  // one look at what has come, without waiting
      last_pass = true;
    }
    if (Exchange(deadline) == Wait::kTimedOut) last_pass = true;
  }
}

int Rfc2217Device::GetModemStatus(uint32_t* status) {
  if (int error = UsableError(); error != 0) return error;
  Exchange(clock_.NowMs());
  if (lost_error_ != 0) return lost_error_;
  // The line bits of a modem state have the values of the kModem* bits.
  *status = client_.modem_state() & (rfc2217::kModemCd | rfc2217::kModemRi |
                                     rfc2217::kModemDsr | rfc2217::kModemCts);
  return 0;
}

int Rfc2217Device::GetStatus(CommStatus* status) {
  if (int error = UsableError(); error != 0) return error;
  Exchange(clock_.NowMs());
  if (lost_error_ != 0) return lost_error_;
  int unsent = 0;
  if (::ioctl(fd_, SIOCOUTQ, &unsent) != 0) unsent = 0;
  *status = CommStatus{};
  status->errors = client_.TakeLineErrors();
  status->hold = client_.suspended() ? kHoldXoffHold : 0;
  status->in_queue = static_cast<uint32_t>(client_.input_size());
  status->out_queue = static_cast<uint32_t>(client_.outgoing().size() + std::max(unsent, 0));
  return 0;
}

int Rfc2217Device::Close() {
  if (fd_ < 0) return EBADF;
  if (lost_error_ == 0) {
    // Closing a serial port drops DTR and RTS; the server is asked to do the
    // same rather than left holding whatever levels the cycle had set.
    client_.SendCommand(rfc2217::kSetControl, {rfc2217::kControlDtrOff}, false);
    client_.SendCommand(rfc2217::kSetControl, {rfc2217::kControlRtsOff}, false);
    Flush();
  }
  const int result = ::close(fd_);  // never retried: the descriptor is gone either way
  const int error = result == 0 ? 0 : errno;
  fd_ = -1;
  release_.reset();
  return error;
}

}  // namespace velloquin
