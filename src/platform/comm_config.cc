#include "platform/comm_config.h"

#include <cctype>
#include <charconv>
#include <string>
#include <vector>

namespace velloquin {
namespace {

// Little-endian field writer and reader over the 52-byte record.
class Writer {
 public:
  explicit Writer(CommConfigRecord::Bytes* out) : out_(out) {}
  void U8(uint8_t v) { (*out_)[pos_++] = v; }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }

 private:
  CommConfigRecord::Bytes* out_;
  size_t pos_ = 0;
};

class Reader {
 public:
  explicit Reader(const CommConfigRecord::Bytes& in) : in_(in) {}
  uint8_t U8() { return in_[pos_++]; }
  uint16_t U16() {
    uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }

 private:
  const CommConfigRecord::Bytes& in_;
  size_t pos_ = 0;
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool ParseUint(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseOnOff(std::string_view text, bool* on) {
  if (text == "on") {
    *on = true;
    return true;
  }
  if (text == "off") {
    *on = false;
    return true;
  }
  return false;
}

// The legacy speed abbreviations ("baud=96" for 9600 and so on).
uint32_t ExpandLegacyBaud(uint32_t baud) {
  switch (baud) {
    case 11: return 110;
    case 15: return 150;
    case 30: return 300;
    case 60: return 600;
    case 12: return 1200;
    case 24: return 2400;
    case 48: return 4800;
    case 96: return 9600;
    case 19: return 19200;
    default: return baud;
  }
}

}  // namespace

CommConfigRecord::Bytes CommConfigRecord::ToBytes() const {
  Bytes out{};
  Writer w(&out);
  w.U32(size);
  w.U16(version);
  w.U16(reserved);
  w.U32(dcb.length);
  w.U32(dcb.baud_rate);
  w.U32(dcb.flags);
  w.U16(dcb.reserved);
  w.U16(dcb.xon_lim);
  w.U16(dcb.xoff_lim);
  w.U8(dcb.byte_size);
  w.U8(dcb.parity);
  w.U8(dcb.stop_bits);
  w.U8(dcb.xon_char);
  w.U8(dcb.xoff_char);
  w.U8(dcb.error_char);
  w.U8(dcb.eof_char);
  w.U8(dcb.evt_char);
  w.U16(dcb.reserved1);
  w.U32(provider_sub_type);
  w.U32(provider_offset);
  w.U32(provider_size);
  w.U32(provider_data);
  return out;
}

CommConfigRecord CommConfigRecord::FromBytes(const Bytes& bytes) {
  CommConfigRecord c;
  Reader r(bytes);
  c.size = r.U32();
  c.version = r.U16();
  c.reserved = r.U16();
  c.dcb.length = r.U32();
  c.dcb.baud_rate = r.U32();
  c.dcb.flags = r.U32();
  c.dcb.reserved = r.U16();
  c.dcb.xon_lim = r.U16();
  c.dcb.xoff_lim = r.U16();
  c.dcb.byte_size = r.U8();
  c.dcb.parity = r.U8();
  c.dcb.stop_bits = r.U8();
  c.dcb.xon_char = r.U8();
  c.dcb.xoff_char = r.U8();
  c.dcb.error_char = r.U8();
  c.dcb.eof_char = r.U8();
  c.dcb.evt_char = r.U8();
  c.dcb.reserved1 = r.U16();
  c.provider_sub_type = r.U32();
  c.provider_offset = r.U32();
  c.provider_size = r.U32();
  c.provider_data = r.U32();
  return c;
}

CommConfigRecord DefaultCommConfig() {
  CommConfigRecord record;
  record.size = kCommConfigSize;
  record.version = 1;
  record.dcb.length = kDcbSize;
  record.dcb.baud_rate = 9600;
  record.dcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
  record.dcb.xon_lim = 2048;
  record.dcb.xoff_lim = 512;
  record.dcb.byte_size = 8;
  record.dcb.parity = kNoParity;
  record.dcb.stop_bits = kOneStopBit;
  record.dcb.xon_char = kXonChar;
  record.dcb.xoff_char = kXoffChar;
  return record;
}

bool BuildCommDcb(std::string_view text, Dcb* dcb) {
  // Parse into a copy; the caller's DCB changes only when the whole text is good.
  Dcb out = *dcb;
  std::vector<std::string> words;
  std::string current;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!current.empty()) words.push_back(Lower(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) words.push_back(Lower(current));
  if (words.empty()) return false;

  for (const std::string& word : words) {
    size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == word.size()) return false;
    std::string_view key(word.data(), eq);
    std::string_view value(word.data() + eq + 1, word.size() - eq - 1);
    uint32_t number = 0;
    bool on = false;
    if (key == "baud") {
      if (!ParseUint(value, &number) || number == 0) return false;
      out.baud_rate = ExpandLegacyBaud(number);
    } else if (key == "parity") {
      if (value.size() != 1) return false;
      switch (value[0]) {
        case 'n': out.parity = kNoParity; break;
        case 'o': out.parity = kOddParity; break;
        case 'e': out.parity = kEvenParity; break;
        case 'm': out.parity = kMarkParity; break;
        case 's': out.parity = kSpaceParity; break;
        default: return false;
      }
      if (out.parity == kNoParity) {
        out.Clear(kDcbParity);
      } else {
        out.Set(kDcbParity);
      }
    } else if (key == "data") {
      if (!ParseUint(value, &number) || number < 5 || number > 8) return false;
      out.byte_size = static_cast<uint8_t>(number);
    } else if (key == "stop") {
      if (value == "1") {
        out.stop_bits = kOneStopBit;
      } else if (value == "1.5") {
        out.stop_bits = kOne5StopBits;
      } else if (value == "2") {
        out.stop_bits = kTwoStopBits;
      } else {
        return false;
      }
    } else if (key == "to") {
      if (!ParseOnOff(value, &on)) return false;  // time-out handling: no DCB member
    } else if (key == "xon") {
      if (!ParseOnOff(value, &on)) return false;
      if (on) {
        out.Set(kDcbOutX | kDcbInX);
      } else {
        out.Clear(kDcbOutX | kDcbInX);
      }
    } else if (key == "odsr") {
      if (!ParseOnOff(value, &on)) return false;
      on ? out.Set(kDcbOutxDsrFlow) : out.Clear(kDcbOutxDsrFlow);
    } else if (key == "octs") {
      if (!ParseOnOff(value, &on)) return false;
      on ? out.Set(kDcbOutxCtsFlow) : out.Clear(kDcbOutxCtsFlow);
    } else if (key == "idsr") {
      if (!ParseOnOff(value, &on)) return false;
      on ? out.Set(kDcbDsrSensitivity) : out.Clear(kDcbDsrSensitivity);
    } else if (key == "dtr") {
      out.Clear(kDcbDtrControlMask);
      if (value == "on") {
        out.Set(kDcbDtrControlEnable);
      } else if (value == "hs") {
        out.Set(kDcbDtrControlHandshake);
      } else if (value != "off") {
        return false;
      }
    } else if (key == "rts") {
      out.Clear(kDcbRtsControlMask);
      if (value == "on") {
        out.Set(kDcbRtsControlEnable);
      } else if (value == "hs") {
        out.Set(kDcbRtsControlHandshake);
      } else if (value == "tg") {
        out.Set(kDcbRtsControlMask);
      } else if (value != "off") {
        return false;
      }
    } else {
      return false;
    }
  }
  out.Set(kDcbBinary);
  *dcb = out;
  return true;
}

}  // namespace velloquin
