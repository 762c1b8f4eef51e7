// A network port name is typed by the operator, and the standard TCP/IP
// printer ports it is looked up in come from the settings: both are any
// bytes. Resolving must never crash, the address reader must accept exactly
// what inet_pton does (plus a port of 1..65535), the address list must stay
// within its field, and a channel opened on the name must fail cleanly
// without a network.
//
// Input: the port name, then lines "subkey<TAB>IPAddress<TAB>PortNumber"
// (the last two as raw value bytes) describing the printer ports.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "iocomm/io_comm.h"
#include "iocomm/tcp_port.h"

namespace {

using namespace velloquin;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

struct Port {
  std::string name;
  std::vector<uint8_t> ip, number;
};

// A read-only key holding either the printer ports or one port's values.
class FuzzKey final : public SettingsKey {
 public:
  FuzzKey(const std::vector<Port>* ports, const Port* port) : ports_(ports), port_(port) {}
  const std::string& Path() const override { return path_; }
  int QueryValue(const std::string& name, size_t max_size, RegValue* value) override {
    if (!port_ || (name != "IPAddress" && name != "PortNumber")) return kRegNotFound;
    const std::vector<uint8_t>& data = name == "IPAddress" ? port_->ip : port_->number;
    if (data.empty()) return kRegNotFound;
    if (data.size() > max_size) return kRegMoreData;
    *value = {ValueType::kBinary, data};
    return kRegOk;
  }
  int SetValue(const std::string&, ValueType, const std::vector<uint8_t>&) override {
    return kRegAccessDenied;
  }
  int EnumSubKey(uint32_t index, std::string* name) override {
    if (port_ || index >= ports_->size()) return kRegNoMoreItems;
    *name = (*ports_)[index].name;
    return kRegOk;
  }
  std::unique_ptr<SettingsKey> OpenSubKey(const std::string& name, KeyAccess,
                                          int* error) override {
    for (const Port& port : *ports_) {
      if (!port_ && port.name == name) return std::make_unique<FuzzKey>(ports_, &port);
    }
    *error = kRegNotFound;
    return nullptr;
  }

 private:
  const std::vector<Port>* ports_;
  const Port* port_;
  std::string path_ = kTcpPortsKey;
};

class FuzzStore final : public SettingsStore {
 public:
  explicit FuzzStore(std::vector<Port> ports) : ports_(std::move(ports)) {}
  std::unique_ptr<SettingsKey> OpenKey(const std::string& path, KeyAccess access,
                                       int* error) override {
    if (path != kTcpPortsKey || access != KeyAccess::kRead) {
      *error = kRegNotFound;
      return nullptr;
    }
    return std::make_unique<FuzzKey>(&ports_, nullptr);
  }

 private:
  std::vector<Port> ports_;
};

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// What inet_pton and a decimal port of 1..65535 make of an address text.
bool ReferenceParse(const std::string& text, Ipv4Endpoint* endpoint) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  if (host.find('\0') != std::string::npos) return false;
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  unsigned long number = std::stoul(port);
  if (number == 0 || number > 65535) return false;
  *endpoint = {ntohl(address.s_addr), static_cast<uint16_t>(number)};
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string_view> lines =
      Split(std::string_view(reinterpret_cast<const char*>(data), size), '\n');
  const std::string name(lines[0]);
  std::vector<Port> ports;
  for (size_t i = 1; i < lines.size() && ports.size() < 8; ++i) {
    std::vector<std::string_view> fields = Split(lines[i], '\t');
    fields.resize(3);
    ports.push_back({std::string(fields[0]), Bytes(fields[1]), Bytes(fields[2])});
  }
  FuzzStore store(ports);

  const std::string address = ResolveTcpPortName(&store, name);
  if (!name.empty() && name[0] >= '0' && name[0] <= '9') {
    Check(address == name, "an address was not used as it is");
  }

  Ipv4Endpoint parsed{7, 7}, reference{};
  bool ours = ParseTcpAddress(address, &parsed);
  bool theirs = ReferenceParse(address, &reference);
  Check(ours == theirs, "address reader disagrees with inet_pton");
  Check(!ours || parsed == reference, "address read differently");
  Check(ours || parsed == Ipv4Endpoint{7, 7}, "a refused address changed the endpoint");

  if (ours) {
    std::vector<uint8_t> list(data, data + std::min<size_t>(size, 1100));
    if (AddToTcpList(&list, address)) {
      Check(list.size() == kTcpListSize, "list outside its field");
      Check(list.back() == 0, "list without its zero byte");
    }
  }

  // A channel on the name, with no devices and no network: a clean failure.
  VirtualClock clock;
  ChannelEnv env;
  env.clock = &clock;
  env.settings = &store;
  IOComm channel(env);
  channel.PortName = name;
  Check(channel.Open() == 0, "opened without any device");
  Check(!channel.IsOpen(), "open without any device");
  return 0;
}
