// The serial configuration record of a port, kept in the 52-byte layout that a
// Windows station stores as "Comm Data", so that a key exported from such a
// station can be used here unchanged and the flag rules can be checked bit for
// bit. Only the members named below are read or written by the logic; the
// rest are carried through untouched.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velloquin {

// Bits of Dcb::flags.
inline constexpr uint32_t kDcbBinary = 0x1;             // fBinary
inline constexpr uint32_t kDcbParity = 0x2;             // fParity
inline constexpr uint32_t kDcbOutxCtsFlow = 0x4;        // fOutxCtsFlow
inline constexpr uint32_t kDcbOutxDsrFlow = 0x8;        // fOutxDsrFlow
inline constexpr uint32_t kDcbDtrControlMask = 0x30;    // fDtrControl (2 bits)
inline constexpr uint32_t kDcbDtrControlEnable = 0x10;  //   1: DTR on while open
inline constexpr uint32_t kDcbDtrControlHandshake = 0x20;
inline constexpr uint32_t kDcbDsrSensitivity = 0x40;    // fDsrSensitivity
inline constexpr uint32_t kDcbTxContinueOnXoff = 0x80;  // fTXContinueOnXoff
inline constexpr uint32_t kDcbOutX = 0x100;             // fOutX
inline constexpr uint32_t kDcbInX = 0x200;              // fInX
inline constexpr uint32_t kDcbRtsControlMask = 0x3000;  // fRtsControl (2 bits)
inline constexpr uint32_t kDcbRtsControlEnable = 0x1000;
inline constexpr uint32_t kDcbRtsControlHandshake = 0x2000;

// Parity codes of Dcb::parity.
inline constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                         kSpaceParity = 4;
// Stop-bit codes of Dcb::stop_bits.
inline constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

inline constexpr uint8_t kXonChar = 0x11;   // DC1
inline constexpr uint8_t kXoffChar = 0x13;  // DC3

// Device control block, 28 bytes.
struct Dcb {
  uint32_t length = 0;  // DCBlength
  uint32_t baud_rate = 0;
  uint32_t flags = 0;
  uint16_t reserved = 0;
  uint16_t xon_lim = 0;
  uint16_t xoff_lim = 0;
  uint8_t byte_size = 0;
  uint8_t parity = 0;
  uint8_t stop_bits = 0;
  uint8_t xon_char = 0;
  uint8_t xoff_char = 0;
  uint8_t error_char = 0;
  uint8_t eof_char = 0;
  uint8_t evt_char = 0;
  uint16_t reserved1 = 0;

  bool Has(uint32_t bits) const { return (flags & bits) == bits; }
  void Set(uint32_t bits) { flags |= bits; }
  void Clear(uint32_t bits) { flags &= ~bits; }
  bool operator==(const Dcb&) const = default;
};

inline constexpr size_t kDcbSize = 28;
inline constexpr size_t kCommConfigSize = 52;

// COMMCONFIG, 52 bytes: size, version, reserved, the DCB, and the provider
// fields that a driver may fill in.
struct CommConfigRecord {
  uint32_t size = 0;
  uint16_t version = 0;
  uint16_t reserved = 0;
  Dcb dcb;
  uint32_t provider_sub_type = 0;
  uint32_t provider_offset = 0;
  uint32_t provider_size = 0;
  uint32_t provider_data = 0;  // the first provider word and its padding

  using Bytes = std::array<uint8_t, kCommConfigSize>;
  // Little-endian record, as stored in the "Comm Data" value.
  Bytes ToBytes() const;
  static CommConfigRecord FromBytes(const Bytes& bytes);
  bool operator==(const CommConfigRecord&) const = default;
};

// The configuration a serial port starts from before anything is applied:
// 9600 baud, 8 data bits, no parity, one stop bit, binary, DTR and RTS on,
// no flow control.
CommConfigRecord DefaultCommConfig();

// Read and write time-outs of a port, in milliseconds, with the meaning of
// COMMTIMEOUTS: a read or write may take at most constant + multiplier x
// bytes asked for (no limit when both are 0); the interval is the longest gap
// allowed between two received bytes once the first has come (0: unused).
// A read interval of 0xFFFFFFFF with both read totals 0 returns at once with
// whatever is buffered.
struct CommTimeoutValues {
  uint32_t read_interval = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;
  bool operator==(const CommTimeoutValues&) const = default;
};

// Parses a mode text such as "baud=19200 parity=N data=8 stop=2" into the DCB,
// as the Windows mode-text parser does for the keys baud, parity, data, stop,
// to, xon, odsr, octs, dtr, rts and idsr. Members the text does not name are
// left as they are. Returns false (and leaves the DCB untouched) for a text it
// cannot parse.
bool BuildCommDcb(std::string_view text, Dcb* dcb);

}  // namespace velloquin
