#include "sim/sim_opener.h"

#include <cerrno>

namespace velloquin::sim {

SimSerialOpener::SimSerialOpener(Clock* clock, std::shared_ptr<const UnlockKeyTable> key)
    : clock_(clock), key_(std::move(key)) {}

std::unique_ptr<SerialDevice> SimSerialOpener::Open(const std::string& name, int* error) {
  std::shared_ptr<SimPrinter> bench;
  {
    std::lock_guard lock(mutex_);
    if (!IsSimName(name)) {
      *error = ENOENT;
      return nullptr;
    }
    auto it = benches_.find(name);
    if (it == benches_.end()) {
      std::string why;
      std::shared_ptr<SimPrinter> created = SimPrinter::FromSpec(name, clock_, key_, &why);
      if (created == nullptr) {
        last_error_ = why;
        *error = EINVAL;
        return nullptr;
      }
      it = benches_.emplace(name, std::move(created)).first;
    }
    bench = it->second;
  }
  return bench->Open(error);
}

std::shared_ptr<SimPrinter> SimSerialOpener::Find(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = benches_.find(name);
  return it == benches_.end() ? nullptr : it->second;
}

std::string SimSerialOpener::LastError() {
  std::lock_guard lock(mutex_);
  return last_error_;
}

}  // namespace velloquin::sim
