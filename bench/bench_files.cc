#include "bench_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "iocomm/io_comm.h"
#include "sim/image_sums.h"

namespace velloquin::bench {

std::vector<uint8_t> MakeImage(size_t size) {
  std::vector<uint8_t> image(size);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint8_t& byte : image) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<uint8_t>(state >> 32);
  }
  return image;
}

std::string BenchFiles::PortName(int row) { return "COM" + std::to_string(row + 1) + ":"; }

BenchFiles::BenchFiles(size_t image_size, int rows, const PrinterSetup& printers)
    : image_(MakeImage(image_size)) {
  std::string pattern = (std::filesystem::temp_directory_path() / "velloquin-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "mkdtemp " + pattern + " failed, errno " + std::to_string(errno);
    return;
  }
  dir_ = pattern;
  firmware_path_ = dir_ + "/bench.bot";
  verify_path_ = dir_ + "/bench.ver";
  settings_path_ = dir_ + "/settings.reg";

  // Every row its own bench: the opener keeps one bench per distinct entry,
  // so the seed makes the entries differ. The printer stays once done, so a
  // finished row rests in Done instead of starting a new cycle.
  std::string ports;
  for (int row = 0; row < rows; ++row) {
    std::string spec = "sim:seed=" + std::to_string(row + 1) +
                       ",arrive_ms=" + std::to_string(printers.arrive_ms) +
                       ",flash_ms=" + std::to_string(printers.flash_ms) +
                       ",consume=" + std::to_string(printers.consume) + ",leave=never";
    ports += "\"COM" + std::to_string(row + 1) + "\"=\"" + spec + "\"\n";
    specs_.push_back(std::move(spec));
  }
  std::string settings = std::string("REGEDIT4\n\n[") + kLocalMachineRoot + kDefaultKeyPath +
                         "]\n\n[" + kLocalMachineRoot + kDefaultKeyPath + "\\Ports]\n" + ports;
  std::string image_text(image_.begin(), image_.end());
  std::string verification = sim::VerificationFileText("bench.bot", image_.size(),
                                                       sim::ComputeImageSums(image_));
  if (!Write(firmware_path_, image_text) || !Write(verify_path_, verification) ||
      !Write(settings_path_, settings)) {
    return;
  }
}

BenchFiles::~BenchFiles() {
  if (dir_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool BenchFiles::Write(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error_ = "fopen " + path + " failed, errno " + std::to_string(errno);
    return false;
  }
  bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  int write_error = errno;
  if (std::fclose(file) != 0 || !written) {
    error_ = "writing " + path + " failed, errno " + std::to_string(written ? errno : write_error);
    return false;
  }
  return true;
}

}  // namespace velloquin::bench
