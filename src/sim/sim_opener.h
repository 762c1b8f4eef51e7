// Opens "sim:<options>" port names: one simulated bench per distinct full
// name, created at its first open and kept for the opener's life, so that a
// channel can close and reopen its port and find the same printer (and the
// bench's story goes on). Other names are not its business (ENOENT); a spec
// that does not parse, or a main program file that cannot be read, is
// refused with EINVAL and the reason kept in LastError().
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "bootloader/unlock_key.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_printer.h"

namespace velloquin::sim {

class SimSerialOpener final : public SerialOpener {
 public:
  // `key`: the table from the boot directory; null rejects every unlock.
  SimSerialOpener(Clock* clock, std::shared_ptr<const UnlockKeyTable> key);

  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override;

  // The bench behind a name, once it has been opened (null before).
  std::shared_ptr<SimPrinter> Find(const std::string& name);
  std::string LastError();

 private:
  Clock* clock_;
  std::shared_ptr<const UnlockKeyTable> key_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SimPrinter>> benches_;
  std::string last_error_;
};

}  // namespace velloquin::sim
