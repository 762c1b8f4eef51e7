// velloquin-sim: tools around the simulated printer.
//
//   velloquin-sim ver IMAGE OUT.ver   write the verification file that matches
//                                     IMAGE under the simulated printer's sums
//   velloquin-sim sums IMAGE          print those sums
//   velloquin-sim check SPEC          parse a "sim:..." port-map entry
//
// Exit codes: 0 done, 1 a file could not be read or written, 2 bad arguments.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/image_sums.h"
#include "sim/sim_options.h"

namespace {

using velloquin::sim::ComputeImageSums;

constexpr char kUsage[] =
    "Usage: velloquin-sim COMMAND ...\n"
    "\n"
    "Tools around the simulated printer of the Velloquin station.\n"
    "\n"
    "Commands:\n"
    "  ver IMAGE OUT.ver   write the verification file matching IMAGE: the four sums\n"
    "                      the simulated printer reports once it holds IMAGE\n"
    "  sums IMAGE          print those four sums\n"
    "  check SPEC          check a port-map entry \"sim:key=value,...\" and print the\n"
    "                      printers it describes\n"
    "\n"
    "Options:\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Sum rule: System CRC = CRC-16/ARC (seed 0) of the whole image; Control CRC Sum =\n"
    "the same over its first 256 bytes; Data CRC Sum = the same over the rest; Total\n"
    "CRC Sum = the sum of all bytes modulo 2^32.\n";

bool ReadImage(const std::string& path, std::vector<uint8_t>* image) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "velloquin-sim: cannot open " << path << ": " << std::strerror(errno) << "\n";
    return false;
  }
  image->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad()) {
    std::cerr << "velloquin-sim: cannot read " << path << "\n";
    return false;
  }
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int WriteVerification(const std::string& image_path, const std::string& out_path) {
  std::vector<uint8_t> image;
  if (!ReadImage(image_path, &image)) return 1;
  std::string text = velloquin::sim::VerificationFileText(BaseName(image_path), image.size(),
                                                         ComputeImageSums(image));
  std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "velloquin-sim: cannot write " << out_path << ": " << std::strerror(errno)
              << "\n";
    return 1;
  }
  return 0;
}

int PrintSums(const std::string& image_path) {
  std::vector<uint8_t> image;
  if (!ReadImage(image_path, &image)) return 1;
  std::string lines = velloquin::sim::FormatSumLines(ComputeImageSums(image));
  std::erase(lines, '\r');
  std::cout << lines;
  return 0;
}

int CheckSpec(const std::string& spec) {
  velloquin::sim::SimSpecResult result = velloquin::sim::ParseSimSpec(spec);
  if (!result.ok) {
    std::cerr << result.error << "\n";
    return 2;
  }
  const auto& options = result.options;
  std::cout << options.printers << " printer(s), seed " << options.seed << "\n";
  for (size_t i = 0; i < options.stories.size(); ++i) {
    const auto& story = options.stories[i];
    std::cout << "  printer " << i + 1 << ": " << (story.boot_mode ? "boot" : "normal")
              << " mode, arrives after " << story.arrive_ms << " ms, flash " << story.flash_ms
              << " ms, buffer " << story.buffer << " bytes at " << story.consume << " bytes/s\n";
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && args[0] == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    std::cout << "velloquin-sim " << VELLOQUIN_VERSION << "\n";
    return 0;
  }
  if (args.size() == 3 && args[0] == "ver") return WriteVerification(args[1], args[2]);
  if (args.size() == 2 && args[0] == "sums") return PrintSums(args[1]);
  if (args.size() == 2 && args[0] == "check") return CheckSpec(args[1]);
  std::cerr << kUsage;
  return 2;
}
