// Telnet with the COM-PORT-OPTION (RFC 2217): a serial port reached over TCP.
//
// Everything here is free of I/O, so that both ends of the link can use it
// and every byte can be checked in a test:
// - the wire constants, the escaping of 0xFF (IAC) and the encoders of
//   negotiations and com-port sub-negotiations;
// - TelnetParser, an incremental parser that takes the received stream in
//   any slices and reports data, negotiations and sub-negotiations, with a
//   bounded sub-negotiation buffer;
// - TelnetOptions, the option negotiation state of one side (the "Q method"
//   of RFC 1143, without queued requests), which answers the peer and never
//   loops;
// - the mapping between the DCB and the wire values of speed, frame and flow
//   control.
// - ComPortClient, the client's state of one connection (negotiation, replies
//   awaited, modem state, received data), fed with received bytes and
//   drained of bytes to send by whoever owns the socket (rfc2217_device.h).
// A server builds on the same parser, encoders and TelnetOptions with the
// roles turned round (it allows the COM-PORT-OPTION remotely and answers each
// command with the command plus kServerOffset).
#pragma once

#include <array>
#include <deque>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/comm_config.h"

namespace velloquin::rfc2217 {

using Bytes = std::vector<uint8_t>;

// ---- Telnet (RFC 854, 855) ----
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kNop = 241;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptionBinary = 0;  // RFC 856
inline constexpr uint8_t kOptionEcho = 1;    // RFC 857
inline constexpr uint8_t kOptionSga = 3;     // suppress go-ahead, RFC 858
inline constexpr uint8_t kOptionComPort = 44;

// ---- COM-PORT-OPTION commands: client to server; a server's reply or
// notification carries the same command plus kServerOffset. ----
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;   // 4-byte value, network order; 0 asks
inline constexpr uint8_t kSetDataSize = 2;   // 5..8; 0 asks
inline constexpr uint8_t kSetParity = 3;     // kParity*; 0 asks
inline constexpr uint8_t kSetStopSize = 4;   // kStop*; 0 asks
inline constexpr uint8_t kSetControl = 5;    // kControl*
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;    // kPurge*
inline constexpr uint8_t kCommandCount = 13;
inline constexpr uint8_t kServerOffset = 100;

inline constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4,
                         kParitySpace = 5;
inline constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;

// SET-CONTROL values.
inline constexpr uint8_t kControlAskFlow = 0;
inline constexpr uint8_t kControlFlowNone = 1;      // outbound flow control
inline constexpr uint8_t kControlFlowXonXoff = 2;
inline constexpr uint8_t kControlFlowHardware = 3;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;

// Modem state bits (NOTIFY-MODEMSTATE, SET-MODEMSTATE-MASK). The four line
// bits have the values of the kModem* bits of the serial seam.
inline constexpr uint8_t kModemCd = 0x80;
inline constexpr uint8_t kModemRi = 0x40;
inline constexpr uint8_t kModemDsr = 0x20;
inline constexpr uint8_t kModemCts = 0x10;
inline constexpr uint8_t kModemDeltaCd = 0x08;
inline constexpr uint8_t kModemRiTrailingEdge = 0x04;
inline constexpr uint8_t kModemDeltaDsr = 0x02;
inline constexpr uint8_t kModemDeltaCts = 0x01;

// Line state bits (NOTIFY-LINESTATE, SET-LINESTATE-MASK).
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineFramingError = 0x08;
inline constexpr uint8_t kLineParityError = 0x04;
inline constexpr uint8_t kLineOverrunError = 0x02;

// PURGE-DATA values.
inline constexpr uint8_t kPurgeReceive = 1;   // the server's buffer of received data
inline constexpr uint8_t kPurgeTransmit = 2;  // the server's buffer of data to send
inline constexpr uint8_t kPurgeBoth = 3;

// Longest sub-negotiation payload kept (option byte included). Com-port
// messages are at most 6 bytes; a signature text is short. Anything longer
// is dropped as malformed, so a peer cannot make the buffer grow.
inline constexpr size_t kMaxSubnegotiation = 256;

// ---- Encoders: each appends to `out`. ----
// Data with every 0xFF doubled.
void AppendEscaped(const uint8_t* data, size_t length, Bytes* out);
// IAC <verb> <option>.
void AppendNegotiation(uint8_t verb, uint8_t option, Bytes* out);
// IAC SB 44 <command> <value, 0xFF doubled> IAC SE.
void AppendComPort(uint8_t command, const Bytes& value, Bytes* out);

// The value of SET-BAUDRATE: 4 bytes, most significant first.
Bytes BaudRateValue(uint32_t baud_rate);
// A 4-byte baud rate value, or nothing for any other length.
std::optional<uint32_t> DecodeBaudRate(const uint8_t* value, size_t length);

// ---- DCB <-> wire values. Each gives nothing for a setting the protocol
// cannot carry. ----
std::optional<uint8_t> ParityToWire(uint8_t dcb_parity);
std::optional<uint8_t> ParityFromWire(uint8_t wire);
std::optional<uint8_t> StopBitsToWire(uint8_t dcb_stop_bits);
std::optional<uint8_t> StopBitsFromWire(uint8_t wire);
// Outbound flow control of a DCB: hardware when CTS flow is on, XON/XOFF when
// XON/XOFF on output is on, else none.
uint8_t FlowControlToWire(const Dcb& dcb);

// The frame and speed of a DCB on the wire, for the four setting commands.
struct LineSettings {
  uint32_t baud_rate = 0;
  uint8_t data_size = 0;
  uint8_t parity = 0;
  uint8_t stop_size = 0;
  uint8_t flow = 0;
  bool operator==(const LineSettings&) const = default;
};
// Nothing when the DCB holds a value the protocol cannot carry (a speed of 0,
// a byte size outside 5..8, an unknown parity or stop-bit code).
std::optional<LineSettings> LineSettingsFromDcb(const Dcb& dcb);

// ---- Parser ----
class TelnetHandler {
 public:
  virtual ~TelnetHandler() = default;
  // A run of data bytes, IAC escapes already removed.
  virtual void OnData(const uint8_t* data, size_t length) = 0;
  // IAC WILL/WONT/DO/DONT <option>.
  virtual void OnNegotiation(uint8_t verb, uint8_t option) = 0;
  // IAC SB <option> <payload> IAC SE; `payload` excludes the option byte and
  // has its doubled 0xFF undone.
  virtual void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) = 0;
  // Any other two-byte command (NOP, GA, ...).
  virtual void OnCommand(uint8_t /*command*/) {}
  // A sub-negotiation that was too long, empty, or cut short by another
  // command; its bytes are dropped.
  virtual void OnMalformed() {}
};

class TelnetParser {
 public:
  // Feeds the next slice of the received stream. Slices may split anything,
  // even an IAC from the byte after it.
  void Feed(const uint8_t* data, size_t length, TelnetHandler& handler);
  // True between IAC SB and its IAC SE.
  bool InSubnegotiation() const {
    return state_ == State::kSubnegotiation || state_ == State::kSubnegotiationIac;
  }
  size_t BufferedSubnegotiation() const { return sub_.size(); }

 private:
  enum class State { kData, kIac, kVerb, kSubnegotiation, kSubnegotiationIac };
  void EndSubnegotiation(TelnetHandler& handler);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  bool sub_overflow_ = false;
  Bytes sub_;  // option byte and payload, at most kMaxSubnegotiation bytes
};

// ---- Option negotiation of one side ----
// "Local" options are the ones this side performs (it sends WILL, the peer
// answers DO); "remote" ones are performed by the peer (DO from here, WILL
// from there). Only options allowed here are ever agreed to; any other
// request is refused. Each request is answered at most once per change of
// state, so two sides using this never loop.
class TelnetOptions {
 public:
  void AllowLocal(uint8_t option) { local_[option].allowed = true; }
  void AllowRemote(uint8_t option) { remote_[option].allowed = true; }
  // Asks to enable an option (WILL for a local one, DO for a remote one);
  // nothing is sent when it is already on or asked for.
  void RequestLocal(uint8_t option, Bytes* out);
  void RequestRemote(uint8_t option, Bytes* out);
  // Takes a received negotiation and appends the answer it calls for.
  void Receive(uint8_t verb, uint8_t option, Bytes* out);

  bool LocalEnabled(uint8_t option) const { return local_[option].state == State::kYes; }
  bool RemoteEnabled(uint8_t option) const { return remote_[option].state == State::kYes; }
  // The peer has said no (DONT or WONT) to an option since it was last on.
  bool LocalRefused(uint8_t option) const { return local_[option].refused; }
  bool RemoteRefused(uint8_t option) const { return remote_[option].refused; }

 private:
  enum class State : uint8_t { kNo, kYes, kWantYes, kWantNo };
  struct Option {
    State state = State::kNo;
    bool allowed = false;
    bool refused = false;
  };
  static void Ask(Option& option, uint8_t verb, uint8_t code, Bytes* out);
  // `yes`/`no` are the verbs this side sends for the option's direction.
  static void Take(Option& option, bool positive, uint8_t yes, uint8_t no, uint8_t code,
                   Bytes* out);

  std::array<Option, 256> local_{};
  std::array<Option, 256> remote_{};
};

// ---- Client state of one connection ----
// Received data kept at most (bytes); more is dropped and reported as a
// receive overflow, as a full driver buffer does.
inline constexpr size_t kMaxClientInput = 64 * 1024;

// Line-error bits of the serial seam's CommStatus::errors.
inline constexpr uint32_t kErrorRxOverflow = 0x1;
inline constexpr uint32_t kErrorOverrun = 0x2;
inline constexpr uint32_t kErrorParity = 0x4;
inline constexpr uint32_t kErrorFraming = 0x8;
inline constexpr uint32_t kErrorBreak = 0x10;

class ComPortClient final : private TelnetHandler {
 public:
  explicit ComPortClient(size_t max_input = kMaxClientInput);

  // Queues the opening requests: WILL COM-PORT-OPTION, BINARY and SGA both
  // ways. The server's echo is refused if offered.
  void Start();
  // Takes the next slice of the received stream; answers to negotiations go
  // to outgoing().
  void Receive(const uint8_t* data, size_t length);
  // Wire bytes to send, in order; the owner erases what it has sent.
  Bytes& outgoing() { return outgoing_; }

  // The server has agreed to the COM-PORT-OPTION (DO 44) / refused it.
  bool ComPortAccepted() const { return options_.LocalEnabled(kOptionComPort); }
  bool ComPortRefused() const { return options_.LocalRefused(kOptionComPort); }

  // Escapes and queues data behind everything queued before, as long as the
  // outgoing bytes stay within `max_outgoing`; returns the count taken.
  size_t QueueData(const uint8_t* data, size_t length, size_t max_outgoing);
  // Queues a com-port command. With `await_reply` its reply is awaited,
  // unless the server has left this command unanswered before on this
  // connection (some servers never answer some commands).
  void SendCommand(uint8_t command, const Bytes& value, bool await_reply);
  bool AwaitingReplies() const { return !pending_.empty(); }
  // Stops waiting; commands still unanswered are not awaited again.
  void GiveUpOnReplies();
  // True once (then cleared) when a setting was answered with a well-formed
  // value other than the one asked for: the server could not take it.
  bool TakeSettingRefused();
  // The value of the last reply to `command` (queries read it).
  const std::optional<Bytes>& LastReply(uint8_t command) const { return last_reply_[command]; }

  size_t input_size() const { return input_.size(); }
  size_t TakeInput(uint8_t* buffer, size_t size);
  void DiscardInput() { input_.clear(); }
  // Modem state from the last NOTIFY-MODEMSTATE (kModem* bits).
  bool modem_state_known() const { return modem_state_known_; }
  uint8_t modem_state() const { return modem_state_; }
  // Line errors (kError* bits) since the last call.
  uint32_t TakeLineErrors();
  // The server has asked us to hold output (FLOWCONTROL-SUSPEND).
  bool suspended() const { return suspended_; }
  bool InSubnegotiation() const { return parser_.InSubnegotiation(); }

 private:
  struct Pending {
    uint8_t command;
    Bytes value;
  };
  void OnData(const uint8_t* data, size_t length) override;
  void OnNegotiation(uint8_t verb, uint8_t option) override;
  void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t length) override;
  void OnReply(uint8_t command, const uint8_t* value, size_t length);

  const size_t max_input_;
  TelnetParser parser_;
  TelnetOptions options_;
  Bytes outgoing_;
  std::deque<uint8_t> input_;
  std::deque<Pending> pending_;
  std::array<bool, kCommandCount> unanswered_{};
  std::array<std::optional<Bytes>, kCommandCount> last_reply_{};
  bool setting_refused_ = false;
  bool modem_state_known_ = false;
  uint8_t modem_state_ = 0;
  uint32_t line_errors_ = 0;
  bool suspended_ = false;
};

}  // namespace velloquin::rfc2217
