#include "bootloader/local_file.h"

#include <cerrno>

namespace velloquin {

LocalFile::~LocalFile() { Close(); }

bool LocalFile::Open(const std::string& path) {
  Close();
  errno = 0;
  file_ = std::fopen(path.c_str(), "rb");
  error_ = file_ ? 0 : (errno != 0 ? errno : EIO);
  return file_ != nullptr;
}

size_t LocalFile::Read(uint8_t* buffer, size_t size) {
  if (!file_ || size == 0) return 0;
  size_t count = std::fread(buffer, 1, size, file_);
  if (count < size && std::ferror(file_)) {
    error_ = errno != 0 ? errno : EIO;
    std::clearerr(file_);
  }
  return count;
}

size_t LocalFile::ReadFully(uint8_t* buffer, size_t size) {
  size_t total = 0;
  while (total < size) {
    const size_t count = Read(buffer + total, size - total);
    if (count == 0) break;
    total += count;
  }
  return total;
}

void LocalFile::Close() {
  // Closing a read-only stream loses nothing; its result is not needed.
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

}  // namespace velloquin
