// IOComm: one object per printer connection. It opens, configures, writes,
// reads and closes a serial, USB, parallel or TCP port behind one set of
// operations, takes its settings from the settings key, and logs its own
// failures. Results are values: non-zero or true for success, 0 for failure;
// Input returns a byte count. Nothing is thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "iocomm/channel_env.h"
#include "iocomm/extra_output.h"
#include "platform/comm_config.h"
#include "platform/network.h"
#include "platform/printer_device.h"
#include "platform/recursive_timed_mutex.h"
#include "platform/serial_device.h"
#include "platform/settings_store.h"

namespace velloquin {

// The kind of port; the same numbers are stored in the "PortType" value.
enum PortType : int {
  Serial = 1,
  Usb = 2,
  Parallel = 3,
  Tcp = 4,
};

// Line state bits, the result of GetLineStatus.
inline constexpr uint32_t LineConnected = 0x00001;
inline constexpr uint32_t LineSelected = 0x00100;
inline constexpr uint32_t LineBusy = 0x00200;
inline constexpr uint32_t LinePowerOff = 0x00400;
inline constexpr uint32_t LineOffLine = 0x00800;
inline constexpr uint32_t LineNotConnected = 0x01000;
inline constexpr uint32_t LinePaperEmpty = 0x02000;
inline constexpr uint32_t LineDsr = 0x10000;
inline constexpr uint32_t LineCts = 0x20000;

// DebugMode bits.
inline constexpr uint32_t kDebugIgnoreConfigErrors = 0x1;
inline constexpr uint32_t kDebugPendingZeroOnError = 0x2;

// The settings key under HKEY_LOCAL_MACHINE, and its full path in the store.
inline constexpr char kDefaultKeyPath[] = "SOFTWARE\\Quorvane\\IOCommZambrix";
inline constexpr char kLocalMachineRoot[] = "HKEY_LOCAL_MACHINE\\";

using ByteString = std::vector<uint8_t>;

// The peer of a network channel, host byte order.
struct SocketAddressIn {
  uint16_t family = 0;  // 2 (AF_INET) once filled
  uint16_t port = 0;
  uint32_t address = 0;
  bool operator==(const SocketAddressIn&) const = default;
};

class IOComm {
 public:
  explicit IOComm(const ChannelEnv& env);
  virtual ~IOComm();
  IOComm(const IOComm&) = delete;
  IOComm& operator=(const IOComm&) = delete;

  // Settings (port_settings.cc).
  std::unique_ptr<SettingsKey> OpenSettingsKey();
  int LoadSettings(SettingsKey* key);
  int SetupCommConfig(SettingsKey* key);

  // Opening and closing.
  int OpenPort(const std::string& port_name, const std::string& settings, int save_flag);
  int Open();
  int Close();
  PortType GetPortType() const { return ChannelType; }
  void DetectPortType();
  // The address text ("10.0.0.5:9100") of a network port name (tcp_port.cc).
  std::string ResolveTcpPortName(const std::string& name);
  // Sends the start string after an open when the extra output is on
  // (extra_output.cc); returns `handle`, or 0 when given none.
  int SendStartString(int handle);

  // Data.
  int SetTimeouts(int constant, int multiplier);
  int Output(const uint8_t* data, int length);
  int OutputString(const ByteString& bytes) {
    return Output(bytes.data(), static_cast<int>(bytes.size()));
  }
  int Input(uint8_t* buffer, int size);
  int InputPending();
  int WaitDrain(int time_ms);

  // Readiness and lines (per kind).
  int IsReady();
  uint32_t GetLineStatus();
  int SetHandshake(int mode);
  int ClearDtr(int clear);
  int ClearRts(int clear);

  // True while a port is open (a device handle or a connected socket).
  bool IsOpen() const { return IOHandle != 0 || SocketValid(); }
  const ChannelEnv& Env() const { return env_; }

  // ---- The channel's fields, with their defaults. ----
  int IOHandle = 0;
  int SaveCommData = 1;
  std::string PortName = "COM2";
  std::string CommSettings;
  CommConfigRecord CommConfig;
  CommTimeoutValues CommTimeouts{500, 40, 300, 30, 300};
  PortType ChannelType = Serial;
  int AfterInput = 0;
  std::string KeyPath = kDefaultKeyPath;
  int Handshake = 0;
  uint32_t BytesRead = 0;
  OsVersion OsVersionInfo;
  uint32_t DebugMode = 0;
  int SettingsLoaded = 0;
  int ErrorFlag = 0;
  std::string LastError;
  uint32_t DoExtra = 0;
  ByteString StartString, EndString;
  ByteString Pattern1, Conversion1, Pattern2, Conversion2, Pattern3, Conversion3, Pattern4,
      Conversion4;
  int LastOutputCount = 0;
  int Socket = -1;
  SocketAddressIn SocketAddress;

 protected:
  // One block through the kind's device, after the substitutions of the
  // extra output. Each returns 1 or 0 and the count transferred.
  int WriteBlock(const uint8_t* data, uint32_t length, uint32_t* written);
  int ReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read);

 private:
  friend class IOCommTestPeer;

  // Serial kind (serial_port.cc).
  void NormaliseDcb();
  void ApplyHandshakeBits(int mode);
  void DeriveHandshakeFromDcb();
  int SerialIsReady();
  uint32_t SerialLineStatus();
  int SerialInputPending();
  int ApplyCommConfig();

  int PendingFromStatus(int error, const CommStatus& status);

  // Usb and Parallel kinds (device_ports.cc).
  bool OpenPrinterDevice(const std::string& name, PrinterKind kind);
  int UsbIsReady();
  int UsbWriteBlock(const uint8_t* data, uint32_t length, uint32_t* written);
  int UsbReadOnce(uint8_t* buffer, uint32_t size, uint32_t* count, bool* was_pending);
  int UsbReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read);
  int QueryParallelStatus(uint8_t* status);
  uint8_t ParallelBusyWait(uint8_t status);
  int ParallelIsReady();
  uint32_t ParallelLineStatus();
  int ParallelInputPending();

  // Tcp kind (tcp_port.cc).
  int TcpConnect(const std::string& address);
  void RecordTcpAddress(const std::string& address);
  void TcpClose();
  int TcpWriteBlock(const uint8_t* data, uint32_t length, uint32_t* written);
  int TcpReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read);

  // Extra output (extra_output.cc).
  void SendEndString();
  SubstitutionRules Substitutions() const;

  // Opening steps (io_comm.cc).
  std::string DeviceNameFor(const std::string& name) const;
  bool OpenSerialDevice(const std::string& name);
  int ApplyDeviceTimeouts();
  int CloseDevice();
  void DropDevice();
  void CloseHandleWithRetry();
  // One block through the kind's device, as it is.
  int WriteKindBlock(const uint8_t* data, uint32_t length, uint32_t* written);
  void Fail(const char* prefix, int os_error, bool log);
  void Log(const std::string& text);

  // Reconnect back-off around a repeated operation; returns whether the
  // repeated operation (if run) succeeded.
  bool Backoff(BackoffPair& pair, const std::function<bool()>& repeat);

  bool SocketValid() const { return Socket != 0 && Socket != -1; }
  ReconnectBackoff& Backoffs() const;

  ChannelEnv env_;
  std::unique_ptr<SerialDevice> serial_;     // Serial kind
  std::unique_ptr<PrinterDevice> printer_;   // Usb and Parallel kinds
  std::unique_ptr<TcpConnection> tcp_;       // Tcp kind
  RecursiveTimedMutex lock_;
  int last_os_error_ = 0;
  bool config_refused_ = false;
};

}  // namespace velloquin
