// Chooses the opener for a serial device name by its prefix: "sim:..." goes to
// the simulated printer, "rfc2217://..." to a network serial port, and a plain
// path such as "/dev/ttyUSB0" to the default opener (the tty opener on Linux).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/serial_device.h"

namespace velloquin {

class SchemeOpener final : public SerialOpener {
 public:
  // `default_opener` takes every name without a registered prefix; null
  // refuses them with ENOENT. Openers are not owned and must outlive this.
  explicit SchemeOpener(SerialOpener* default_opener) : default_opener_(default_opener) {}

  // Sends names that begin with `prefix` (compared without case, as URL
  // schemes are) to `opener`, with the whole name, prefix included. The
  // longest matching prefix wins. Registering a prefix again replaces its
  // opener; a null opener removes the prefix.
  void Register(std::string prefix, SerialOpener* opener);

  // A name that looks like "scheme://..." but has no registered opener fails
  // with ENOENT instead of being tried as a file path.
  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override;

 private:
  SerialOpener* OpenerFor(const std::string& name) const;

  SerialOpener* const default_opener_;
  mutable std::mutex mutex_;  // Register may run while workers open ports
  std::vector<std::pair<std::string, SerialOpener*>> schemes_;
};

}  // namespace velloquin
