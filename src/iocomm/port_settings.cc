// The channel's settings key: timeouts, serial configuration, debug switches
// and the extra output strings, read once per channel object, and the
// first-use serial configuration written back as "Comm data".
#include <algorithm>
#include <cstring>

#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

constexpr size_t kMaxStringValue = 100;

// Reads a 4-byte number over `field`; the stored type is not examined. A
// shorter value overwrites only its own bytes, as a registry read into the
// field's memory would.
void ReadNumber(SettingsKey* key, const char* name, uint32_t* field) {
  RegValue value;
  if (!key || key->QueryValue(name, 4, &value) != kRegOk) return;
  uint8_t bytes[4] = {static_cast<uint8_t>(*field), static_cast<uint8_t>(*field >> 8),
                      static_cast<uint8_t>(*field >> 16), static_cast<uint8_t>(*field >> 24)};
  std::copy(value.data.begin(), value.data.end(), bytes);
  *field = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// A byte string value of up to 100 bytes, exactly as stored (a text brings
// its terminating zero). A larger value leaves the field as it was.
void ReadBytes(SettingsKey* key, const char* name, ByteString* field) {
  RegValue value;
  if (!key || key->QueryValue(name, kMaxStringValue, &value) != kRegOk) return;
  *field = value.data;
}

bool ReadCommData(SettingsKey* key, CommConfigRecord* config) {
  RegValue value;
  if (!key || key->QueryValue("Comm Data", kCommConfigSize, &value) != kRegOk) return false;
  CommConfigRecord::Bytes bytes = config->ToBytes();
  std::copy(value.data.begin(), value.data.end(), bytes.begin());
  *config = CommConfigRecord::FromBytes(bytes);
  return true;
}

}  // namespace

std::unique_ptr<SettingsKey> IOComm::OpenSettingsKey() {
  if (!env_.settings) return nullptr;
  std::string path = std::string(kLocalMachineRoot) + KeyPath;
  int error = 0;
  for (KeyAccess access : {KeyAccess::kAllAccess, KeyAccess::kRead, KeyAccess::kCreate}) {
    if (auto key = env_.settings->OpenKey(path, access, &error)) return key;
  }
  return nullptr;
}

int IOComm::LoadSettings(SettingsKey* given_key) {
  std::unique_ptr<SettingsKey> own_key;
  SettingsKey* key = given_key;
  if (!key) {
    own_key = OpenSettingsKey();
    key = own_key.get();
  }
  DetectPortType();
  SettingsLoaded = 1;

  uint32_t factor = 0;
  RegValue probe;
  if (key && key->QueryValue("IOTimeOutFactor", 4, &probe) == kRegOk) {
    ReadNumber(key, "IOTimeOutFactor", &factor);
    CommTimeouts = {factor, factor, factor, factor, factor};
  }
  ReadNumber(key, "ReadIntervalTimeout", &CommTimeouts.read_interval);
  ReadNumber(key, "ReadTotalTimeoutMultiplier", &CommTimeouts.read_total_multiplier);
  ReadNumber(key, "ReadTotalTimeoutConstant", &CommTimeouts.read_total_constant);
  ReadNumber(key, "WriteTotalTimeoutMultiplier", &CommTimeouts.write_total_multiplier);
  ReadNumber(key, "WriteTotalTimeoutConstant", &CommTimeouts.write_total_constant);
  uint32_t port_type = static_cast<uint32_t>(ChannelType);
  ReadNumber(key, "PortType", &port_type);
  // Only the four known kinds are taken; anything else would leave the
  // channel with no kind at all.
  if (port_type >= Serial && port_type <= Tcp) ChannelType = static_cast<PortType>(port_type);
  ReadNumber(key, "DebugMode", &DebugMode);

  for (uint32_t* t : {&CommTimeouts.read_interval, &CommTimeouts.read_total_multiplier,
                      &CommTimeouts.read_total_constant, &CommTimeouts.write_total_multiplier,
                      &CommTimeouts.write_total_constant}) {
    if (*t < 10) *t = 10;
  }

  ReadNumber(key, "DoExtra", &DoExtra);
  if (DoExtra) {
    ReadBytes(key, "Start", &StartString);
    ReadBytes(key, "End", &EndString);
    ReadBytes(key, "Pattern1", &Pattern1);
    ReadBytes(key, "Conversion1", &Conversion1);
    ReadBytes(key, "Pattern2", &Pattern2);
    ReadBytes(key, "Conversion2", &Conversion2);
    ReadBytes(key, "Pattern3", &Pattern3);
    ReadBytes(key, "Conversion3", &Conversion3);
    ReadBytes(key, "Pattern4", &Pattern4);
    ReadBytes(key, "Conversion4", &Conversion4);
  }

  if (!ReadCommData(key, &CommConfig) && ChannelType == Serial) SetupCommConfig(key);
  DeriveHandshakeFromDcb();
  return 1;
}

int IOComm::SetupCommConfig(SettingsKey* given_key) {
  if (ChannelType != Serial) return 0;
  std::unique_ptr<SettingsKey> own_key;
  SettingsKey* key = given_key;
  if (!key) {
    own_key = OpenSettingsKey();
    key = own_key.get();
  }
  if (!SettingsLoaded) LoadSettings(key);
  bool opened_here = false;
  if (IOHandle == 0) {
    Open();
    opened_here = true;
  }

  // The platform's default configuration of the port: what the open device
  // runs with. Without an open device there is none to save.
  if (!serial_ || serial_->GetConfig(&CommConfig) != 0) SaveCommData = 0;
  ReadCommData(key, &CommConfig);
  if (CommSettings.empty()) {
    // The configuration dialog: a station without a window behaves as if
    // the operator cancelled it.
    SaveCommData = 0;
  } else if (!BuildCommDcb(CommSettings, &CommConfig.dcb)) {
    SaveCommData = 0;
  }
  if (SaveCommData && key) {
    CommConfigRecord::Bytes bytes = CommConfig.ToBytes();
    key->SetValue("Comm data", ValueType::kBinary, ByteString(bytes.begin(), bytes.end()));
  }
  ApplyCommConfig();
  DeriveHandshakeFromDcb();
  if (opened_here) Close();
  return 1;
}

}  // namespace velloquin
