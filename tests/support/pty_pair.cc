#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/sys_retry.h"

namespace velloquin::testing_support {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return;
  }
  slave_path_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool PtyPair::WriteMaster(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = RetryOnInterrupt(
        [&] { return ::write(master_, bytes.data() + done, bytes.size() - done); });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string PtyPair::ReadMaster(size_t count, int timeout_ms) {
  std::string out;
  while (out.size() < count) {
    pollfd entry{master_, POLLIN, 0};
    if (RetryOnInterrupt([&] { return ::poll(&entry, 1, timeout_ms); }) <= 0) break;
    char buffer[4096];
    const ssize_t n = RetryOnInterrupt([&] {
      return ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
    });
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

bool WaitForInput(int fd, size_t count, int timeout_ms) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) == 0 && static_cast<size_t>(queued) >= count) return true;
    if (std::chrono::steady_clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace velloquin::testing_support
