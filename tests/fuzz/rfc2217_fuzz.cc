// Fuzzes the Telnet / COM-PORT-OPTION parser and the client state fed by it,
// with what a server (or anything posing as one) could send. Beyond "never
// crash", it checks:
// - the events do not depend on how the stream is sliced (the input's first
//   byte picks the slice length);
// - the sub-negotiation buffer and the received data stay within their caps;
// - escaped data always parses back to itself.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/rfc2217_protocol.h"

namespace {

using velloquin::rfc2217::Bytes;
namespace wire = velloquin::rfc2217;

// Every event as bytes: a tag, then its content. Data runs are joined.
class Recorder final : public wire::TelnetHandler {
 public:
  void OnData(const uint8_t* data, size_t length) override {
    if (last_ != 'D') log_.push_back('D');
    log_.insert(log_.end(), data, data + length);
    last_ = 'D';
  }
  void OnNegotiation(uint8_t verb, uint8_t option) override { Add('N', {verb, option}); }
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    Bytes all{option};
    all.insert(all.end(), payload, payload + length);
    all.push_back(static_cast<uint8_t>(length));
    Add('S', all);
  }
  void OnCommand(uint8_t command) override { Add('C', {command}); }
  void OnMalformed() override { Add('M', {}); }
  const Bytes& log() const { return log_; }

 private:
  void Add(uint8_t tag, const Bytes& content) {
    log_.push_back(tag);
    log_.insert(log_.end(), content.begin(), content.end());
    last_ = tag;
  }
  Bytes log_;
  uint8_t last_ = 0;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t slice = 1 + data[0] % 16;
  const uint8_t* stream = data + 1;
  const size_t length = size - 1;

  wire::TelnetParser whole_parser;
  Recorder whole;
  whole_parser.Feed(stream, length, whole);
  Check(whole_parser.BufferedSubnegotiation() <= wire::kMaxSubnegotiation);

  wire::TelnetParser sliced_parser;
  Recorder sliced;
  for (size_t at = 0; at < length; at += slice) {
    sliced_parser.Feed(stream + at, std::min(slice, length - at), sliced);
    Check(sliced_parser.BufferedSubnegotiation() <= wire::kMaxSubnegotiation);
  }
  Check(whole.log() == sliced.log());

  // The client: bounded input, and it answers at most what it was asked.
  wire::ComPortClient client(1024);
  client.Start();
  client.SendCommand(wire::kSetBaudRate, wire::BaudRateValue(115200), true);
  client.SendCommand(wire::kSetControl, {wire::kControlDtrOn}, true);
  const size_t opening = client.outgoing().size();
  for (size_t at = 0; at < length; at += slice) {
    client.Receive(stream + at, std::min(slice, length - at));
    Check(client.input_size() <= 1024);
  }
  Check(client.outgoing().size() <= opening + length);
  client.TakeSettingRefused();
  client.GiveUpOnReplies();
  Check(!client.AwaitingReplies());

  // Escaping is undone exactly by the parser.
  Bytes escaped;
  wire::AppendEscaped(stream, length, &escaped);
  wire::TelnetParser plain_parser;
  Recorder plain;
  plain_parser.Feed(escaped.data(), escaped.size(), plain);
  Bytes expected;
  if (length > 0) expected.push_back('D');
  expected.insert(expected.end(), stream, stream + length);
  Check(plain.log() == expected);
  return 0;
}
