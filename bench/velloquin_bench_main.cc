// velloquin-bench: how long a programming cycle takes and what a station
// costs. Each part runs the station's real rows (RunCycle workers launched on
// the timer ticks and stopped with StopWorkers) on simulated printers, in a
// process of its own, and the table at the end gives every figure with its
// bound. Exit code 0 when every bound holds, 1 when one fails, 2 for bad
// arguments.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_parts.h"
#include "bench_report.h"
#include "platform/sys_retry.h"

namespace velloquin::bench {
namespace {

constexpr char kUsage[] =
    "usage: velloquin-bench [--part a|b|c ...] [options]\n"
    "\n"
    "  --part LIST        parts to run, e.g. a, bc, a,b,c (default: all). Part b is\n"
    "                     measured against part a's real time, so it brings part a along\n"
    "                     unless --reference-ms gives that time.\n"
    "                       a  one row: a cycle in virtual time, then in real time\n"
    "                       b  N rows at once, real time: row times, CPU, peak memory\n"
    "                       c  N rows waiting for printers, real time: CPU\n"
    "  --rows N           rows for parts b and c, 1 to 20 (default 20)\n"
    "  --idle-seconds S   how long part c waits (default 60)\n"
    "  --image-bytes N    size of the firmware image (default 102400)\n"
    "  --flash-ms T       the simulated printer's flash write time (default 0)\n"
    "  --boot-dir DIR     boot directory with UnlockKey.bin (default: the source tree's demo/)\n"
    "  --reference-ms T   part a's real cycle time, for part b without part a\n"
    "  --timeline         print every status text of part a with its time\n"
    "  --help\n";

bool ParseNumber(const std::string& text, long long low, long long high, long long* value) {
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

struct Request {
  BenchOptions options;
  bool parts[3] = {false, false, false};
  bool help = false;
  double reference_ms = -1;  // part a's real time, given instead of measured
};

bool ParseArguments(int argc, char** argv, Request* request, std::string* error) {
  BenchOptions& options = request->options;
  options.boot_dir = VELLOQUIN_BENCH_DEMO_DIR;
  bool any_part = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      request->help = true;
      return true;
    }
    if (arg == "--timeline") {
      options.timeline = true;
      continue;
    }
    if (i + 1 >= argc) {
      *error = "unknown option or missing value: " + arg;
      return false;
    }
    std::string value = argv[++i];
    long long number = 0;
    if (arg == "--part") {
      for (char c : value) {
        if (c == ',') continue;
        if (c < 'a' || c > 'c') {
          *error = "no such part: " + value;
          return false;
        }
        request->parts[c - 'a'] = true;
        any_part = true;
      }
    } else if (arg == "--rows" && ParseNumber(value, 1, kMaxRows, &number)) {
      options.rows = static_cast<int>(number);
    } else if (arg == "--idle-seconds" && ParseNumber(value, 1, 3600, &number)) {
      options.idle_seconds = static_cast<int>(number);
    } else if (arg == "--image-bytes" && ParseNumber(value, 1, 64 * 1024 * 1024, &number)) {
      options.image_bytes = static_cast<size_t>(number);
    } else if (arg == "--flash-ms" && ParseNumber(value, 0, 1000000, &number)) {
      options.flash_ms = number;
    } else if (arg == "--reference-ms" && ParseNumber(value, 1, 3600000, &number)) {
      request->reference_ms = static_cast<double>(number);
    } else if (arg == "--boot-dir") {
      options.boot_dir = value.empty() || value.back() == '/' ? value : value + "/";
    } else {
      *error = "bad option or value: " + arg + " " + value;
      return false;
    }
  }
  if (!any_part) request->parts[0] = request->parts[1] = request->parts[2] = true;
  if (request->parts[1] && request->reference_ms < 0) request->parts[0] = true;
  return true;
}

// Runs a part in a child process and brings back its figures; a child that
// dies brings back a record that says so.
Figures RunInChild(char part, const BenchOptions& options) {
  std::fflush(stdout);
  Figures figures;
  figures.part = part;
  int fds[2];
  if (pipe(fds) != 0) {
    std::printf("  part %c: pipe failed, errno %d\n", part, errno);
    return figures;
  }
  pid_t child = fork();
  if (child < 0) {
    std::printf("  part %c: fork failed, errno %d\n", part, errno);
    close(fds[0]);
    close(fds[1]);
    return figures;
  }
  if (child == 0) {
    close(fds[0]);
    Figures result = part == 'a' ? RunPartA(options) : part == 'b' ? RunPartB(options)
                                                                  : RunPartC(options);
    result.part = part;
    std::fflush(stdout);
    const char* data = reinterpret_cast<const char*>(&result);
    size_t left = sizeof result;
    while (left > 0) {
      ssize_t n = velloquin::RetryOnInterrupt([&] { return write(fds[1], data, left); });
      if (n <= 0) break;
      data += n;
      left -= static_cast<size_t>(n);
    }
    // Workers that missed the stop bound may still be inside a step: end
    // without running destructors under them.
    _exit(0);
  }
  close(fds[1]);
  Figures received;
  char* data = reinterpret_cast<char*>(&received);
  size_t got = 0;
  while (got < sizeof received) {
    ssize_t n =
        velloquin::RetryOnInterrupt([&] { return read(fds[0], data + got, sizeof received - got); });
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  velloquin::RetryOnInterrupt([&] { return waitpid(child, &status, 0); });
  if (got == sizeof received) return received;
  std::printf("  part %c: its process ended without its figures (wait status %d)\n", part, status);
  return figures;
}

// The first line of a file that starts with `prefix` (any line without one),
// without the "name<tab>: " of /proc/cpuinfo.
std::string FirstLine(const char* path, const char* prefix) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (prefix != nullptr && line.rfind(prefix, 0) != 0) continue;
    size_t colon = line.find(": ");
    return prefix != nullptr && colon != std::string::npos ? line.substr(colon + 2) : line;
  }
  return "?";
}

void PrintMachine(const char* when) {
  std::printf("%s: %ld cpus online, %s, load average %s\n", when, sysconf(_SC_NPROCESSORS_ONLN),
              FirstLine("/proc/cpuinfo", "model name").c_str(),
              FirstLine("/proc/loadavg", nullptr).c_str());
}

}  // namespace
}  // namespace velloquin::bench

int main(int argc, char** argv) {
  using namespace velloquin::bench;
  Request request;
  std::string error;
  if (!ParseArguments(argc, argv, &request, &error)) {
    std::fprintf(stderr, "velloquin-bench: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (request.help) {
    std::printf("%s", kUsage);
    return 0;
  }
  PrintMachine("start");
  std::printf("boot directory: %s\n\n", request.options.boot_dir.c_str());

  Figures figures[3];
  bool ran[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    if (!request.parts[i]) continue;
    figures[i] = RunInChild(static_cast<char>('a' + i), request.options);
    ran[i] = true;
    std::printf("\n");
  }
  PrintMachine("end");
  std::printf("\n");
  if (!ran[0] && request.reference_ms > 0) {
    // Part a did not run: its real time as given is the reference of part b.
    figures[0].part = 'a';
    figures[0].real_ms = request.reference_ms;
    std::printf("part b is measured against the given reference of %.0f ms\n\n",
                request.reference_ms);
  }
  const Figures* reference = ran[0] || request.reference_ms > 0 ? &figures[0] : nullptr;
  std::vector<Check> checks = Checks(ran[0] ? &figures[0] : nullptr, ran[1] ? &figures[1] : nullptr,
                                     ran[2] ? &figures[2] : nullptr, reference);
  PrintTable(stdout, checks);
  bool pass = AllPass(checks);
  std::printf("\n%s\n", pass ? "PASS" : "FAIL");
  return pass ? 0 : 1;
}
