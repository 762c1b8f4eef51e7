// The network kind of the channel: a printer reached over one TCP
// connection, named by "address:port" or by a standard TCP/IP printer port.
#include "iocomm/tcp_port.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

constexpr uint32_t kMaxPortsExamined = 500;
constexpr size_t kSubkeyNameBuffer = 200;  // a longer port name cannot be read
constexpr size_t kMaxIpAddressValue = 300;
// Connecting gives up after this long. The kernel's own limit (its SYN
// retries) is about two minutes, for which a row would hang on a printer
// that is switched off; a printer on the network answers in milliseconds,
// and this still covers two lost SYNs.
constexpr int kTcpConnectTimeoutMs = 5000;
constexpr int kTcpWaitFloorMs = 100;
constexpr uint16_t kAddressFamilyInet = 2;  // AF_INET

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of 1 to `max_digits` digits, nothing else.
bool ParseDecimal(std::string_view text, size_t max_digits, uint32_t* value) {
  if (text.empty() || text.size() > max_digits) return false;
  uint32_t number = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  *value = number;
  return true;
}

int ClampMs(uint32_t ms) { return ms > INT_MAX ? INT_MAX : static_cast<int>(ms); }

}  // namespace

std::string ResolveTcpPortName(SettingsStore* store, const std::string& name) {
  if (!name.empty() && IsDigit(name[0])) return name;
  if (!store) return "";
  int error = 0;
  auto ports = store->OpenKey(kTcpPortsKey, KeyAccess::kRead, &error);
  if (!ports) return "";
  for (uint32_t index = 0; index < kMaxPortsExamined; ++index) {
    std::string port_name;
    if (ports->EnumSubKey(index, &port_name) != kRegOk) return "";
    // An empty name would begin every name; one too long to read is skipped.
    if (port_name.empty() || port_name.size() >= kSubkeyNameBuffer) continue;
    if (name.compare(0, port_name.size(), port_name) != 0) continue;
    auto port = ports->OpenSubKey(port_name, KeyAccess::kRead, &error);
    RegValue number, address;
    if (!port || port->QueryValue("PortNumber", 4, &number) != kRegOk ||
        port->QueryValue("IPAddress", kMaxIpAddressValue, &address) != kRegOk) {
      return "";
    }
    uint32_t port_number = 0;
    for (size_t i = 0; i < number.data.size(); ++i) port_number |= static_cast<uint32_t>(number.data[i]) << (8 * i);
    std::string text(address.data.begin(),
                     std::find(address.data.begin(), address.data.end(), 0));
    return text + ":" + std::to_string(port_number & 0xFFFF);
  }
  return "";
}

bool ParseIpv4(std::string_view text, uint32_t* address) {
  uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = part < 3 ? text.find('.') : text.size();
    if (end == std::string_view::npos) return false;
    std::string_view digits = text.substr(0, end);
    uint32_t value = 0;
    if (!ParseDecimal(digits, 3, &value) || value > 255) return false;
    if (digits.size() > 1 && digits[0] == '0') return false;
    result = (result << 8) | value;
    text.remove_prefix(part < 3 ? end + 1 : end);
  }
  *address = result;
  return true;
}

bool ParseTcpAddress(std::string_view text, Ipv4Endpoint* endpoint) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  uint32_t address = 0, port = 0;
  if (!ParseIpv4(text.substr(0, colon), &address)) return false;
  if (!ParseDecimal(text.substr(colon + 1), 5, &port) || port == 0 || port > 0xFFFF) return false;
  endpoint->address = address;
  endpoint->port = static_cast<uint16_t>(port);
  return true;
}

bool AddToTcpList(std::vector<uint8_t>* list, const std::string& address) {
  std::vector<uint8_t> field(kTcpListSize, 0);
  std::copy_n(list->begin(), std::min(list->size(), kTcpListSize), field.begin());
  const size_t length = static_cast<size_t>(std::find(field.begin(), field.end(), 0) - field.begin());
  // Whole entries are compared: "10.0.0.5:91" is not in " 10.0.0.5:9100".
  std::string_view entries(reinterpret_cast<const char*>(field.data()), length);
  for (size_t start = 0; start <= entries.size();) {
    size_t end = std::min(entries.find(' ', start), entries.size());
    if (entries.substr(start, end - start) == address) return false;
    start = end + 1;
  }
  if (length + 1 + address.size() + 1 > kTcpListSize) return false;
  field[length] = ' ';
  auto end = std::copy(address.begin(), address.end(), field.begin() + length + 1);
  // The list ends with its zero byte; whatever the stored value held behind
  // its text goes with it.
  std::fill(end, field.end(), 0);
  *list = std::move(field);
  return true;
}

std::string IOComm::ResolveTcpPortName(const std::string& name) {
  return velloquin::ResolveTcpPortName(env_.settings, name);
}

int IOComm::TcpConnect(const std::string& address) {
  if (address.find(':') == std::string::npos) return 0;
  if (SocketValid()) return 1;
  if (!env_.network) return 0;
  Ipv4Endpoint peer;
  if (!ParseTcpAddress(address, &peer)) {
    // Not an address that can be connected to: a failed connect, and no
    // name is ever looked up.
    last_os_error_ = EINVAL;
    ErrorFlag = 1;
    return 0;
  }
  SocketAddress = {kAddressFamilyInet, peer.port, peer.address};
  int error = 0;
  tcp_ = env_.network->Connect(peer, kTcpConnectTimeoutMs, &error);
  if (!tcp_) {
    Socket = -1;
    last_os_error_ = error;
    ErrorFlag = 1;
    return 0;
  }
  Socket = tcp_->Handle();
  RecordTcpAddress(address);
  SetTimeouts(kTcpWaitFloorMs, 0);
  ErrorFlag = 0;
  return 1;
}

void IOComm::RecordTcpAddress(const std::string& address) {
  auto key = OpenSettingsKey();
  if (!key) return;
  RegValue value;
  ByteString list;
  if (key->QueryValue("TCP", kTcpListSize, &value) == kRegOk) list = value.data;
  if (AddToTcpList(&list, address)) key->SetValue("TCP", ValueType::kBinary, list);
}

void IOComm::TcpClose() {
  if (tcp_) {
    tcp_->Shutdown();
    tcp_->Close();
    tcp_.reset();
  }
  Socket = -1;
}

int IOComm::TcpWriteBlock(const uint8_t* data, uint32_t length, uint32_t* written) {
  *written = 0;
  if (!tcp_) {
    last_os_error_ = EBADF;
    return 0;
  }
  int waited = tcp_->WaitWritable(ClampMs(CommTimeouts.write_total_constant));
  if (waited != 0) {
    last_os_error_ = waited;
    return 0;
  }
  IoResult sent = tcp_->Send(data, length);
  last_os_error_ = sent.ok ? 0 : sent.error;
  if (!sent.ok) return 0;
  *written = sent.count;
  return 1;
}

int IOComm::TcpReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read) {
  *read = 0;
  if (!tcp_) {
    last_os_error_ = EBADF;
    return 0;
  }
  int waited = tcp_->WaitReadable(ClampMs(CommTimeouts.read_total_constant));
  if (waited != 0) {
    last_os_error_ = waited;
    return 0;
  }
  IoResult received = tcp_->Receive(buffer, size);
  // A count of 0 is the peer's close: a failure with no error number.
  last_os_error_ = received.ok ? 0 : received.error;
  if (!received.ok || received.count == 0) return 0;
  *read = received.count;
  return 1;
}

}  // namespace velloquin
