#include "app/station_setup.h"

#include "app/activity_log.h"
#include "bootloader/boot_directory.h"
#include "iocomm/io_comm.h"
#include "sim/sim_opener.h"

namespace velloquin {

// The simulated printers: a port-map entry "sim:..." opens one.
struct StationSetup::Extra {
  std::unique_ptr<sim::SimSerialOpener> sim_opener;
  std::unique_ptr<Network> network;         // network printers
  std::unique_ptr<PrinterOpener> printers;  // USB and parallel printers
};

StationSetup::StationSetup(WorkerOperations* dialog)
    : clock_(&SystemClock::Instance()),
      settings_(std::make_unique<FileSettingsStore>(
          FileSettingsStore::DefaultPath(),
          [](const std::string& problem) { ActivityLog::Instance().LogMessage(problem); })),
      linux_opener_(*clock_),
      rfc2217_opener_(*clock_),
      opener_(&linux_opener_),
      extra_(std::make_unique<Extra>()) {
  opener_.Register("rfc2217://", &rfc2217_opener_);
  channel_env_.clock = clock_;
  channel_env_.serial = &opener_;
  channel_env_.settings = settings_.get();
  channel_env_.log = &ActivityLog::Instance();
  channel_env_.backoff = &ReconnectBackoff::ProcessWide();
  extra_->network = MakeSystemNetwork(*clock_);
  extra_->printers = MakeSystemPrinterOpener(*clock_);
  channel_env_.network = extra_->network.get();
  channel_env_.printers = extra_->printers.get();
  protocol_ = MakeProtocolContext(dialog, clock_, &ActivityLog::Instance(), channel_env_);
  if (!protocol_.unlock_key) problems_ += protocol_.unlock_key_problem + "\n";
  extra_->sim_opener = std::make_unique<sim::SimSerialOpener>(clock_, protocol_.unlock_key);
  opener_.Register("sim:", extra_->sim_opener.get());
}

StationSetup::~StationSetup() = default;

std::string ReadSavedFirmwarePath(SettingsStore& store) {
  int error = 0;
  auto key = store.OpenKey(std::string(kLocalMachineRoot) + kDefaultKeyPath, KeyAccess::kRead,
                           &error);
  RegValue value;
  if (!key || key->QueryValue("FilePath", 999, &value) != kRegOk) return {};
  std::string path(value.data.begin(), value.data.end());
  size_t zero = path.find('\0');
  if (zero != std::string::npos) path.resize(zero);
  return path;
}

}  // namespace velloquin
