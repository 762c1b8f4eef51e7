// The logic common to every kind of port: opening, closing, writing in
// passes, reading, the lock and the reconnect back-off.
#include "iocomm/io_comm.h"

#include <cctype>
#include <cerrno>
#include <chrono>

#include "iocomm/port_names.h"

namespace velloquin {
namespace {

constexpr auto kLockWait = std::chrono::milliseconds(10000);
constexpr int kMaxOutputPasses = 10;
constexpr int kPartialPassPauseMs = 1000;
constexpr int kCloseRetryPauseMs = 100;
constexpr int kBackoffThreshold = 3;
constexpr int kBackoffStepMs = 1000;
constexpr int kBackoffMaxMs = 8000;
constexpr int kBackoffFirstMs = 200;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i) {
    if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) !=
                                std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// Takes the channel's lock for Output and Input: at most 10 s of waiting.
class TimedLock {
 public:
  explicit TimedLock(RecursiveTimedMutex& mutex) : mutex_(mutex) {
    locked_ = mutex_.try_lock_for(kLockWait);
  }
  ~TimedLock() {
    if (locked_) mutex_.unlock();
  }
  bool Locked() const { return locked_; }

 private:
  RecursiveTimedMutex& mutex_;
  bool locked_;
};

}  // namespace

ReconnectBackoff& ReconnectBackoff::ProcessWide() {
  static ReconnectBackoff backoff;
  return backoff;
}

IOComm::IOComm(const ChannelEnv& env) : env_(env) {
  OsVersionInfo = env_.os_version;
  // The channel starts from a port's default configuration. It does not open
  // a port to read one: a station's rows own their ports, and a momentary
  // exclusive open by another row's new channel would toggle that printer's
  // lines and could make the row's own reopen fail.
  CommConfig = DefaultCommConfig();
}

IOComm::~IOComm() {
  // Destroying a channel closes its device but sends no end string and does
  // not shut a connection down: callers call Close first. A connection left
  // open is still released with the channel, since a network printer
  // commonly serves one connection at a time and would refuse the next.
  serial_.reset();
  printer_.reset();
  tcp_.reset();
}

ReconnectBackoff& IOComm::Backoffs() const {
  return env_.backoff ? *env_.backoff : ReconnectBackoff::ProcessWide();
}

void IOComm::Log(const std::string& text) {
  if (env_.log) env_.log->LogMessage(text);
}

void IOComm::Fail(const char* prefix, int os_error, bool log) {
  ErrorFlag = 1;
  LastError = std::string(prefix) + std::to_string(os_error);
  if (log) Log(LastError);
}

void IOComm::DetectPortType() {
  ChannelType = Usb;
  if (StartsWithNoCase(PortName, "COM")) ChannelType = Serial;
  if (StartsWithNoCase(PortName, "\\\\.\\C")) ChannelType = Serial;
  if (StartsWithNoCase(PortName, "LPT") && PortName.size() <= 5) ChannelType = Parallel;
  if (PortName.find('.') != std::string::npos && PortName.size() > 10) ChannelType = Tcp;
  if (PortName.find(':') != std::string::npos && PortName.size() > 10) ChannelType = Tcp;
  // Linux device names: the printer-class devices, and every other device
  // path or port-map entry is a serial line.
  if (IsDeviceSpec(PortName)) {
    if (PortName.rfind("/dev/usb/lp", 0) == 0) {
      ChannelType = Usb;
    } else if (PortName.rfind("/dev/lp", 0) == 0) {
      ChannelType = Parallel;
    } else {
      ChannelType = Serial;
    }
  }
}

int IOComm::OpenPort(const std::string& port_name, const std::string& settings, int save_flag) {
  if (IOHandle != 0) return IOHandle;
  SaveCommData = save_flag;
  SetHandshake(Handshake);
  PortName = port_name;
  CommSettings = settings;
  DetectPortType();
  if (ChannelType == Serial && !IsDeviceSpec(PortName)) {
    // "COM12:" becomes "\\.\COM12", "COM1:" becomes "\\.\COM1". A name that
    // already is a device name ("\\.\COM12") is kept whole rather than cut
    // to five characters, which would leave "\\.\C".
    if (PortName.empty() || PortName[0] != '\\') {
      if (PortName.size() > 5) PortName.resize(5);
      PortName = "\\\\.\\" + PortName;
    }
    if (PortName.back() == ':') PortName.pop_back();
  }
  if (!SettingsLoaded) LoadSettings(nullptr);
  return Open();
}

std::string IOComm::DeviceNameFor(const std::string& name) const {
  return ResolveDeviceName(env_.settings, KeyPath, name);
}

bool IOComm::OpenSerialDevice(const std::string& name) {
  int error = ENODEV;
  if (env_.serial) serial_ = env_.serial->Open(DeviceNameFor(name), &error);
  if (!serial_) {
    last_os_error_ = error;
    return false;
  }
  IOHandle = serial_->Handle();
  return true;
}

int IOComm::ApplyDeviceTimeouts() {
  if (serial_) return serial_->SetTimeouts(CommTimeouts);
  if (printer_) return printer_->SetTimeouts(CommTimeouts);
  return EBADF;
}

int IOComm::Open() {
  if (IOHandle != 0) return IOHandle;
  AfterInput = 0;
  LastOutputCount = 0;
  ErrorFlag = 0;
  LastError.clear();
  if (PortName.empty()) return 0;
  DetectPortType();
  if (!SettingsLoaded) LoadSettings(nullptr);

  for (;;) {
    config_refused_ = false;
    NormaliseDcb();
    std::string name = PortName;
    if (ChannelType == Tcp) {
      name = ResolveTcpPortName(PortName);
      if (name.find(':') == std::string::npos) return 0;
    }
    if (ChannelType == Serial && !CommConfig.dcb.Has(kDcbOutxCtsFlow)) {
      CommConfig.dcb.Clear(kDcbDtrControlMask);
    }
    if (DebugMode != 0) Log("DebugMode: " + std::to_string(DebugMode));
    if ((ChannelType == Serial || ChannelType == Parallel) && !IsDeviceSpec(name) &&
        !name.empty() && name.back() != ':' && name[0] != '\\') {
      name += ':';  // "LPT1" is opened as "LPT1:"
    }
    if (ChannelType == Tcp) return TcpConnect(name);

    bool opened = false;
    switch (ChannelType) {
      case Serial:
        opened = OpenSerialDevice(name);
        break;
      case Usb:
        opened = OpenPrinterDevice(name, PrinterKind::kUsb);
        break;
      case Parallel:
        opened = OpenPrinterDevice(name, PrinterKind::kParallel);
        break;
      case Tcp:
        break;
    }
    if (!opened) {
      Fail("IOComm::Open() failed, GetLastError() returned: ", last_os_error_, false);
    } else if (ChannelType == Usb) {
      ApplyDeviceTimeouts();  // a USB printer driver may refuse them; it works without
    } else if (ChannelType == Serial) {
      if (!CommSettings.empty()) BuildCommDcb(CommSettings, &CommConfig.dcb);
      int error = serial_->SetConfig(CommConfig);
      if (error != 0) {
        Fail("SetCommConfig(IOHandle, ....) failed, GetLastError() returned: ", error, false);
        if (DebugMode & kDebugIgnoreConfigErrors) {
          ErrorFlag = 0;
          Log(LastError + " Ignoring Error");
        } else {
          config_refused_ = true;
        }
      }
    }
    if (opened && !ErrorFlag && (ChannelType == Serial || ChannelType == Parallel)) {
      int error = ApplyDeviceTimeouts();
      if (error != 0) {
        Fail("SetCommTimeouts(IOHandle, ....) failed, GetLastError() returned: ", error, false);
        if ((DebugMode & kDebugIgnoreConfigErrors) ||
            (ChannelType == Parallel && OsVersionInfo.nt_family)) {
          ErrorFlag = 0;
        }
      }
    }

    if (ErrorFlag) {
      if (ChannelType == Serial && config_refused_) {
        // A driver that refuses a serial configuration is driven as a USB
        // printer device instead.
        CloseHandleWithRetry();
        ErrorFlag = 0;
        ChannelType = Usb;
        if (!PortName.empty() && PortName.back() == ':') PortName.pop_back();
        continue;
      }
      Log(LastError);
      CloseHandleWithRetry();
      return 0;
    }
    return SendStartString(IOHandle);
  }
}

int IOComm::CloseDevice() {
  if (serial_) return serial_->Close();
  if (printer_) return printer_->Close();
  return 0;
}

void IOComm::DropDevice() {
  serial_.reset();
  printer_.reset();
  IOHandle = 0;
}

void IOComm::CloseHandleWithRetry() {
  if (!serial_ && !printer_) return;
  if (CloseDevice() != 0) {
    env_.clock->SleepMs(kCloseRetryPauseMs);
    CloseDevice();
  }
  DropDevice();
}

int IOComm::Close() {
  if (ChannelType == Tcp) {
    TcpClose();
    IOHandle = 0;
    return 1;
  }
  if (IOHandle != 0 && DoExtra) SendEndString();
  // Sending the end string may have closed a USB printer that has gone.
  if (IOHandle != 0 && (serial_ || printer_)) {
    if (CloseDevice() != 0) {
      env_.clock->SleepMs(kCloseRetryPauseMs);
      // On Linux a failed close has released the descriptor all the same;
      // the retry then finds nothing to close (EBADF), and holding on to a
      // handle that no longer exists would keep the row from ever reopening.
      int error = CloseDevice();
      if (error != 0 && error != EBADF) return 0;
    }
  }
  DropDevice();
  AfterInput = 0;
  return 1;
}

namespace {

int FromIoResult(const IoResult& r, uint32_t* count, int* os_error) {
  *count = r.count;
  *os_error = r.ok ? 0 : r.error;
  return r.ok ? 1 : 0;
}

}  // namespace

int IOComm::WriteBlock(const uint8_t* data, uint32_t length, uint32_t* written) {
  if (DoExtra && length < kSubstitutionMaxBlock) {
    SubstitutedBlock block(data, length, Substitutions());
    if (block.Rewritten()) {
      uint32_t sent = 0;
      int ok = WriteKindBlock(block.Data(), block.Size(), &sent);
      *written = block.SourceCount(sent);
      return ok;
    }
  }
  return WriteKindBlock(data, length, written);
}

int IOComm::WriteKindBlock(const uint8_t* data, uint32_t length, uint32_t* written) {
  *written = 0;
  switch (ChannelType) {
    case Tcp:
      return TcpWriteBlock(data, length, written);
    case Usb:
      return UsbWriteBlock(data, length, written);
    case Serial:
      if (serial_) return FromIoResult(serial_->Write(data, length), written, &last_os_error_);
      break;
    case Parallel:
      if (printer_) return FromIoResult(printer_->Write(data, length), written, &last_os_error_);
      break;
  }
  last_os_error_ = EBADF;
  return 0;
}

int IOComm::ReadBlock(uint8_t* buffer, uint32_t size, uint32_t* read) {
  *read = 0;
  if (size == 0) return 0;
  switch (ChannelType) {
    case Tcp:
      return TcpReadBlock(buffer, size, read);
    case Usb:
      return UsbReadBlock(buffer, size, read);
    case Serial:
      if (serial_) return FromIoResult(serial_->Read(buffer, size), read, &last_os_error_);
      break;
    case Parallel:
      if (printer_) return FromIoResult(printer_->Read(buffer, size), read, &last_os_error_);
      break;
  }
  last_os_error_ = EBADF;
  return 0;
}

bool IOComm::Backoff(BackoffPair& pair, const std::function<bool()>& repeat) {
  if (++pair.failures <= kBackoffThreshold) return false;
  Close();
  int delay = pair.retry_delay_ms.load();
  env_.clock->SleepMs(delay);
  delay += kBackoffStepMs;
  Open();
  if (delay > kBackoffMaxMs) delay = kBackoffMaxMs;
  pair.retry_delay_ms = delay;
  if (!repeat()) return false;
  pair.retry_delay_ms = kBackoffFirstMs;
  pair.failures = 0;
  return true;
}

int IOComm::Output(const uint8_t* data, int length) {
  TimedLock lock(lock_);
  if (!lock.Locked()) return 0;
  LastOutputCount = 0;
  if (!IsOpen()) return 0;
  if (AfterInput && ChannelType == Parallel) {
    // A parallel port is reopened before the first write after a read.
    // Cleared first, so that the end string sent by this Close does not
    // reopen the port a second time.
    AfterInput = 0;
    Close();
    Open();
  }
  AfterInput = 0;
  if (!IsReady()) return 0;

  int remaining = length;
  int offset = 0;
  if (remaining < 1) return 1;
  for (int passes = 0;; ++passes) {
    if (passes >= kMaxOutputPasses) return 1;
    uint32_t written = 0;
    int ok = WriteBlock(data + offset, static_cast<uint32_t>(remaining), &written);
    if (!ok) {
      ok = Backoff(Backoffs().output, [&] {
             return WriteBlock(data + offset, static_cast<uint32_t>(remaining), &written) != 0;
           })
               ? 1
               : 0;
      if (!ok && ChannelType == Usb) break;
    }
    if (written == 0 || static_cast<int>(written) >= remaining) {
      LastOutputCount = offset + static_cast<int>(written);
      if (ok) return 1;
      break;
    }
    offset += static_cast<int>(written);
    LastOutputCount = offset;
    remaining -= static_cast<int>(written);
    env_.clock->SleepMs(kPartialPassPauseMs);
    if (!ok) break;
  }
  Fail("IOComm::Output() failed, GetLastError() returned: ", last_os_error_, true);
  return 0;
}

int IOComm::Input(uint8_t* buffer, int size) {
  TimedLock lock(lock_);
  if (!lock.Locked()) return 0;
  AfterInput = 1;
  if (!IsOpen() || !IsReady()) return 0;
  uint32_t size_u = size > 0 ? static_cast<uint32_t>(size) : 0;
  if (!ReadBlock(buffer, size_u, &BytesRead)) {
    Backoff(Backoffs().input, [&] { return ReadBlock(buffer, size_u, &BytesRead) != 0; });
  }
  if (BytesRead == 0) {
    ErrorFlag = 1;
    LastError = "IOComm::Input() failed, GetLastError() returned: " + std::to_string(last_os_error_);
  }
  return static_cast<int>(BytesRead);
}

int IOComm::SetTimeouts(int constant, int multiplier) {
  if (ChannelType == Tcp) {
    uint32_t wait = static_cast<uint32_t>(constant < 100 ? 100 : constant);
    CommTimeouts.read_total_constant = wait;
    CommTimeouts.write_total_constant = wait;
    return 1;
  }
  CommTimeouts.read_total_constant = static_cast<uint32_t>(constant);
  CommTimeouts.write_total_constant = static_cast<uint32_t>(constant);
  CommTimeouts.read_total_multiplier = static_cast<uint32_t>(multiplier);
  CommTimeouts.write_total_multiplier = static_cast<uint32_t>(multiplier);
  CommTimeouts.read_interval = static_cast<uint32_t>(multiplier);
  if (IOHandle != 0) return ApplyDeviceTimeouts() == 0 ? 1 : 0;
  return 1;
}

int IOComm::InputPending() {
  if (!IsOpen()) return 0;
  switch (ChannelType) {
    case Serial:
      return SerialInputPending();
    case Parallel:
      return ParallelInputPending();
    case Usb:
      return IsReady() ? 0 : -2;
    case Tcp:
      return -2;
  }
  return 0;
}

int IOComm::WaitDrain(int time_ms) {
  int polls = time_ms / 500;
  if (ChannelType == Usb) env_.clock->SleepMs(time_ms / 100);
  if (ChannelType == Tcp) {
    env_.clock->SleepMs(time_ms < 300 ? time_ms : 300);
    return 1;
  }
  if (ChannelType == Parallel && OsVersionInfo.nt_family) polls /= 50;
  while (InputPending() != 0 && polls > 0) {
    env_.clock->SleepMs(10);
    --polls;
  }
  return InputPending();
}

int IOComm::IsReady() {
  switch (ChannelType) {
    case Serial:
      return SerialIsReady();
    case Tcp:
      return SocketValid() ? 1 : 0;
    case Usb:
      return UsbIsReady();
    case Parallel:
      return ParallelIsReady();
  }
  return 0;
}

uint32_t IOComm::GetLineStatus() {
  switch (ChannelType) {
    case Serial:
      return SerialLineStatus();
    case Tcp:
      return SocketValid() ? LineConnected : 0;
    case Usb:
      return IOHandle != 0 ? LineConnected : 0;
    case Parallel:
      return ParallelLineStatus();
  }
  return 0;
}

}  // namespace velloquin
