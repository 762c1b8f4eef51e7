#include "platform/rfc2217_protocol.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace velloquin::rfc2217 {

void AppendEscaped(const uint8_t* data, size_t length, Bytes* out) {
  for (size_t i = 0; i < length; ++i) {
    out->push_back(data[i]);
    if (data[i] == kIac) out->push_back(kIac);
  }
}

void AppendNegotiation(uint8_t verb, uint8_t option, Bytes* out) {
  out->insert(out->end(), {kIac, verb, option});
}

void AppendComPort(uint8_t command, const Bytes& value, Bytes* out) {
  out->insert(out->end(), {kIac, kSb, kOptionComPort});
  AppendEscaped(&command, 1, out);
  AppendEscaped(value.data(), value.size(), out);
  out->insert(out->end(), {kIac, kSe});
}

Bytes BaudRateValue(uint32_t baud_rate) {
  return {static_cast<uint8_t>(baud_rate >> 24), static_cast<uint8_t>(baud_rate >> 16),
          static_cast<uint8_t>(baud_rate >> 8), static_cast<uint8_t>(baud_rate)};
}

std::optional<uint32_t> DecodeBaudRate(const uint8_t* value, size_t length) {
  if (length != 4) return std::nullopt;
  return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
         uint32_t{value[3]};
}

std::optional<uint8_t> ParityToWire(uint8_t dcb_parity) {
  if (dcb_parity > kSpaceParity) return std::nullopt;
  return static_cast<uint8_t>(dcb_parity + 1);  // none, odd, even, mark, space in both orders
}

std::optional<uint8_t> ParityFromWire(uint8_t wire) {
  if (wire < kParityNone || wire > kParitySpace) return std::nullopt;
  return static_cast<uint8_t>(wire - 1);
}

std::optional<uint8_t> StopBitsToWire(uint8_t dcb_stop_bits) {
  switch (dcb_stop_bits) {
    case kOneStopBit: return kStopOne;
    case kOne5StopBits: return kStopOneAndHalf;
    case kTwoStopBits: return kStopTwo;
    default: return std::nullopt;
  }
}

std::optional<uint8_t> StopBitsFromWire(uint8_t wire) {
  switch (wire) {
    case kStopOne: return kOneStopBit;
    case kStopOneAndHalf: return kOne5StopBits;
    case kStopTwo: return kTwoStopBits;
    default: return std::nullopt;
  }
}

uint8_t FlowControlToWire(const Dcb& dcb) {
  if (dcb.Has(kDcbOutxCtsFlow)) return kControlFlowHardware;
  if (dcb.Has(kDcbOutX)) return kControlFlowXonXoff;
  return kControlFlowNone;
}

std::optional<LineSettings> LineSettingsFromDcb(const Dcb& dcb) {
  std::optional<uint8_t> parity = ParityToWire(dcb.parity);
  std::optional<uint8_t> stop = StopBitsToWire(dcb.stop_bits);
  if (dcb.baud_rate == 0 || dcb.byte_size < 5 || dcb.byte_size > 8 || !parity || !stop) {
    return std::nullopt;
  }
  return LineSettings{dcb.baud_rate, dcb.byte_size, *parity, *stop, FlowControlToWire(dcb)};
}

// ---- TelnetParser ----

void TelnetParser::Feed(const uint8_t* data, size_t length, TelnetHandler& handler) {
  static constexpr uint8_t kIacByte = kIac;
  size_t i = 0;
  while (i < length) {
    const uint8_t byte = data[i];
    switch (state_) {
      case State::kData: {
        // Hand over the whole run up to the next IAC at once.
        const void* iac = std::memchr(data + i, kIac, length - i);
        const size_t end = iac ? static_cast<size_t>(static_cast<const uint8_t*>(iac) - data) : length;
        if (end > i) handler.OnData(data + i, end - i);
        if (end < length) state_ = State::kIac;
        i = end + 1;
        continue;
      }
      case State::kIac:
        state_ = State::kData;
        if (byte == kIac) {
          handler.OnData(&kIacByte, 1);
        } else if (byte == kSb) {
          sub_.clear();
          sub_overflow_ = false;
          state_ = State::kSubnegotiation;
        } else if (byte >= kWill && byte <= kDont) {
          verb_ = byte;
          state_ = State::kVerb;
        } else {
          handler.OnCommand(byte);  // a stray SE lands here too
        }
        break;
      case State::kVerb:
        state_ = State::kData;
        handler.OnNegotiation(verb_, byte);
        break;
      case State::kSubnegotiation:
        if (byte == kIac) {
          state_ = State::kSubnegotiationIac;
        } else if (sub_.size() < kMaxSubnegotiation) {
          sub_.push_back(byte);
        } else {
          sub_overflow_ = true;
        }
        break;
      case State::kSubnegotiationIac:
        if (byte == kIac) {
          if (sub_.size() < kMaxSubnegotiation) {
            sub_.push_back(kIac);
          } else {
            sub_overflow_ = true;
          }
          state_ = State::kSubnegotiation;
        } else if (byte == kSe) {
          EndSubnegotiation(handler);
          state_ = State::kData;
        } else {
          // IAC <command> inside a sub-negotiation: the peer abandoned it.
          // Drop what was gathered and take the command as if it came alone.
          handler.OnMalformed();
          sub_.clear();
          state_ = State::kIac;
          continue;  // the same byte again, now in state kIac
        }
        break;
    }
    ++i;
  }
}

void TelnetParser::EndSubnegotiation(TelnetHandler& handler) {
  if (sub_overflow_ || sub_.empty()) {
    handler.OnMalformed();
  } else {
    handler.OnSubnegotiation(sub_[0], sub_.data() + 1, sub_.size() - 1);
  }
  sub_.clear();
  sub_overflow_ = false;
}

// ---- TelnetOptions ----

void TelnetOptions::RequestLocal(uint8_t option, Bytes* out) {
  Ask(local_[option], kWill, option, out);
}

void TelnetOptions::RequestRemote(uint8_t option, Bytes* out) {
  Ask(remote_[option], kDo, option, out);
}

void TelnetOptions::Ask(Option& option, uint8_t verb, uint8_t code, Bytes* out) {
  if (option.state != State::kNo) return;
  option.state = State::kWantYes;
  option.refused = false;
  AppendNegotiation(verb, code, out);
}

void TelnetOptions::Receive(uint8_t verb, uint8_t option, Bytes* out) {
  switch (verb) {
    case kWill: Take(remote_[option], true, kDo, kDont, option, out); break;
    case kWont: Take(remote_[option], false, kDo, kDont, option, out); break;
    case kDo: Take(local_[option], true, kWill, kWont, option, out); break;
    case kDont: Take(local_[option], false, kWill, kWont, option, out); break;
    default: break;
  }
}

void TelnetOptions::Take(Option& option, bool positive, uint8_t yes, uint8_t no, uint8_t code,
                         Bytes* out) {
  if (positive) {
    switch (option.state) {
      case State::kNo:
        // The peer proposes: agree only to what this side allows.
        if (option.allowed) {
          option.state = State::kYes;
          AppendNegotiation(yes, code, out);
        } else {
          AppendNegotiation(no, code, out);
        }
        break;
      case State::kWantYes:
        option.state = State::kYes;  // our request was accepted
        break;
      case State::kWantNo:
        option.state = State::kNo;  // a "no" of ours answered with "yes": give up
        break;
      case State::kYes:
        break;  // already on; answering again would start a loop
    }
  } else {
    switch (option.state) {
      case State::kYes:
        option.state = State::kNo;
        option.refused = true;
        AppendNegotiation(no, code, out);  // acknowledge the switch-off
        break;
      case State::kWantYes:
        option.state = State::kNo;
        option.refused = true;
        break;
      case State::kWantNo:
        option.state = State::kNo;
        break;
      case State::kNo:
        option.refused = true;
        break;
    }
  }
}

// ---- ComPortClient ----

ComPortClient::ComPortClient(size_t max_input) : max_input_(max_input) {
  options_.AllowLocal(kOptionComPort);
  options_.AllowLocal(kOptionBinary);
  options_.AllowLocal(kOptionSga);
  options_.AllowRemote(kOptionBinary);
  options_.AllowRemote(kOptionSga);
  // A server that offers to perform the option itself is humoured; nothing
  // depends on it. Echo is never allowed: it would hand our own bytes back.
  options_.AllowRemote(kOptionComPort);
}

void ComPortClient::Start() {
  options_.RequestLocal(kOptionComPort, &outgoing_);
  options_.RequestLocal(kOptionBinary, &outgoing_);
  options_.RequestRemote(kOptionBinary, &outgoing_);
  options_.RequestLocal(kOptionSga, &outgoing_);
  options_.RequestRemote(kOptionSga, &outgoing_);
}

void ComPortClient::Receive(const uint8_t* data, size_t length) {
  parser_.Feed(data, length, *this);
}

size_t ComPortClient::QueueData(const uint8_t* data, size_t length, size_t max_outgoing) {
  size_t taken = 0;
  while (taken < length) {
    const size_t need = data[taken] == kIac ? 2 : 1;
    if (outgoing_.size() + need > max_outgoing) break;
    AppendEscaped(data + taken, 1, &outgoing_);
    ++taken;
  }
  return taken;
}

void ComPortClient::SendCommand(uint8_t command, const Bytes& value, bool await_reply) {
  AppendComPort(command, value, &outgoing_);
  if (await_reply && command < kCommandCount && !unanswered_[command]) {
    pending_.push_back({command, value});
  }
}

void ComPortClient::GiveUpOnReplies() {
  for (const Pending& p : pending_) unanswered_[p.command] = true;
  pending_.clear();
}

bool ComPortClient::TakeSettingRefused() {
  return std::exchange(setting_refused_, false);
}

size_t ComPortClient::TakeInput(uint8_t* buffer, size_t size) {
  const size_t n = std::min(size, input_.size());
  std::copy_n(input_.begin(), n, buffer);
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

uint32_t ComPortClient::TakeLineErrors() { return std::exchange(line_errors_, 0); }

void ComPortClient::OnData(const uint8_t* data, size_t length) {
  const size_t room = max_input_ - std::min(max_input_, input_.size());
  const size_t kept = std::min(room, length);
  input_.insert(input_.end(), data, data + kept);
  if (kept < length) line_errors_ |= kErrorRxOverflow;
}

void ComPortClient::OnNegotiation(uint8_t verb, uint8_t option) {
  options_.Receive(verb, option, &outgoing_);
}

void ComPortClient::OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) {
  if (option != kOptionComPort || length == 0) return;
  const uint8_t code = payload[0];
  if (code >= kServerOffset && code < kServerOffset + kCommandCount) {
    OnReply(static_cast<uint8_t>(code - kServerOffset), payload + 1, length - 1);
  } else if (code == kFlowControlSuspend || code == kFlowControlResume) {
    // Sent with the client's code by some servers; the meaning is plain.
    OnReply(code, payload + 1, length - 1);
  }
}

void ComPortClient::OnReply(uint8_t command, const uint8_t* value, size_t length) {
  switch (command) {
    case kNotifyModemState:
      if (length >= 1) {
        modem_state_ = value[0];
        modem_state_known_ = true;
      }
      return;
    case kNotifyLineState:
      if (length >= 1) {
        if (value[0] & kLineOverrunError) line_errors_ |= kErrorOverrun;
        if (value[0] & kLineParityError) line_errors_ |= kErrorParity;
        if (value[0] & kLineFramingError) line_errors_ |= kErrorFraming;
        if (value[0] & kLineBreak) line_errors_ |= kErrorBreak;
      }
      return;
    case kFlowControlSuspend:
      suspended_ = true;
      return;
    case kFlowControlResume:
      suspended_ = false;
      return;
    case kPurgeData:
      // The server's receive buffer is empty now; what reached us before
      // this reply is of the same age, and goes too.
      if (length >= 1 && (value[0] & kPurgeReceive)) input_.clear();
      break;
    default:
      break;
  }
  Bytes reply(value, value + length);
  // The reply answers the oldest command of its kind; SET-CONTROL replies
  // carry the value they confirm, which tells DTR, RTS and flow apart.
  auto match = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) {
    return p.command == command && (command != kSetControl || p.value == reply);
  });
  if (match == pending_.end()) {
    match = std::find_if(pending_.begin(), pending_.end(),
                         [&](const Pending& p) { return p.command == command; });
  }
  if (match != pending_.end()) {
    const bool is_setting = command >= kSetBaudRate && command <= kSetStopSize;
    const bool is_query = std::all_of(match->value.begin(), match->value.end(),
                                      [](uint8_t b) { return b == 0; });
    // A reply of the wrong length (some servers send 8 bytes of speed) says
    // nothing about the value; only a well-formed different value refuses.
    if (is_setting && !is_query && reply.size() == match->value.size() && reply != match->value) {
      setting_refused_ = true;
    }
    pending_.erase(match);
  }
  last_reply_[command] = std::move(reply);
}

}  // namespace velloquin::rfc2217
