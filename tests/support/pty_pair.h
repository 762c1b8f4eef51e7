// A pseudo-terminal pair for tests that need a real tty: the test keeps the
// master side and opens the slave path like a serial port.
#pragma once

#include <cstddef>
#include <string>

namespace velloquin::testing_support {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // 0 when the pair is usable, else the errno of the call that failed.
  int error() const { return error_; }
  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // Closes the master side: the slave side is then hung up.
  void CloseMaster();
  // Writes all of `bytes` into the master side.
  bool WriteMaster(const std::string& bytes);
  // Reads from the master side until `count` bytes came or `timeout_ms` of
  // quiet passed; returns what came.
  std::string ReadMaster(size_t count, int timeout_ms);

 private:
  int master_ = -1;
  int error_ = 0;
  std::string slave_path_;
};

// Waits (at most `timeout_ms`) until the tty `fd` holds at least `count`
// received bytes; the kernel hands bytes written to the master side over to
// the slave side asynchronously.
bool WaitForInput(int fd, size_t count, int timeout_ms);

}  // namespace velloquin::testing_support
