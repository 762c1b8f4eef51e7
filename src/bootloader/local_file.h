// A local file read as bytes (boot programs, the unlock key table, the
// verification file). Owns its handle; every failure keeps the OS error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velloquin {

class LocalFile {
 public:
  LocalFile() = default;
  ~LocalFile();
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;

  // Opens `path` for reading as bytes. False on failure; error() tells why.
  bool Open(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  // Reads up to `size` bytes; returns the count, 0 at the end of the file or
  // on a read error (error() is then non-zero).
  size_t Read(uint8_t* buffer, size_t size);
  // Reads until `size` bytes, the end of the file or an error; returns the count.
  size_t ReadFully(uint8_t* buffer, size_t size);
  void Close();
  // The OS error number of the last failed operation, 0 if none failed.
  int error() const { return error_; }

 private:
  std::FILE* file_ = nullptr;
  int error_ = 0;
};

}  // namespace velloquin
