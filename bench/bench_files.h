// The files a benchmark station works from, in a private temporary folder:
// the firmware image, its verification file under the simulated printer's
// sum rule, and a settings file whose port map sends every row's COM name to
// a simulated printer of its own. The folder goes when the object does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velloquin::bench {

// What the simulated printers behind the rows are like.
struct PrinterSetup {
  // ms after the bench is first opened; a time far beyond the run leaves the
  // rows waiting for a printer.
  int64_t arrive_ms = 0;
  int64_t flash_ms = 0;
  // Bytes per second the printer takes from its download buffer; high enough
  // that it never asks for a pause, so only the wire sets the pace.
  int64_t consume = 100000000;
};

class BenchFiles {
 public:
  // Creates the folder and writes the files; ok() tells whether it worked.
  BenchFiles(size_t image_size, int rows, const PrinterSetup& printers);
  ~BenchFiles();
  BenchFiles(const BenchFiles&) = delete;
  BenchFiles& operator=(const BenchFiles&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  const std::string& firmware_path() const { return firmware_path_; }
  const std::string& verify_path() const { return verify_path_; }
  const std::string& settings_path() const { return settings_path_; }
  const std::vector<uint8_t>& image() const { return image_; }
  // The port box text of row `row` (0-based) and the "sim:" entry it maps to.
  static std::string PortName(int row);
  const std::string& SimSpec(int row) const { return specs_[static_cast<size_t>(row)]; }

 private:
  bool Write(const std::string& path, const std::string& content);

  std::string dir_;
  std::string firmware_path_;
  std::string verify_path_;
  std::string settings_path_;
  std::vector<uint8_t> image_;
  std::vector<std::string> specs_;
  std::string error_;
};

// A firmware image of `size` bytes: a fixed pseudo-random sequence, so every
// run sends the same bytes and the sums are not trivially zero.
std::vector<uint8_t> MakeImage(size_t size);

}  // namespace velloquin::bench
