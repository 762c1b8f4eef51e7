// velloquin-sim: tools around the simulated printer.
//
//   velloquin-sim ver IMAGE OUT.ver   write the verification file that matches
//                                     IMAGE under the simulated printer's sums
//   velloquin-sim sums IMAGE          print those sums
//   velloquin-sim check SPEC          parse a "sim:..." port-map entry
//   velloquin-sim --listen ADDR SPEC  serve simulated printers over RFC 2217
//
// Exit codes: 0 done, 1 a file could not be read or written (or a port could
// not be served), 2 bad arguments.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bootloader/boot_directory.h"
#include "bootloader/unlock_key.h"
#include "platform/clock.h"
#include "sim/image_sums.h"
#include "sim/rfc2217_server.h"
#include "sim/sim_options.h"
#include "sim/sim_printer.h"

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
    "  --listen HOST:PORT SPEC [--listen HOST:PORT SPEC ...] [--images DIR]\n"
    "                      serve simulated printers as network serial ports (RFC 2217),\n"
    "                      one bench per port; see below\n"
    "\n"
    "Options:\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Sum rule: System CRC = CRC-16/ARC (seed 0) of the whole image; Control CRC Sum =\n"
    "the same over its first 256 bytes; Data CRC Sum = the same over the rest; Total\n"
    "CRC Sum = the sum of all bytes modulo 2^32.\n"
    "\n"
    "Serving printers (--listen):\n"
    "  HOST is a loopback address (127.x.x.x or localhost). PORT may be 0 (a free port\n"
    "  is picked) or a range FIRST-LAST: the range takes the SPEC arguments after it\n"
    "  (those beginning with \"sim:\"), either one for every port or one per port.\n"
    "  Each port serves its own simulated bench to one client at a time; a station\n"
    "  maps a COM name to it with \"COM7\"=\"rfc2217://127.0.0.1:PORT\". The unlock key\n"
    "  table is read from the boot directory (VELLOQUIN_BOOT_DIR).\n"
    "  When every port is ready, one line per port is printed:\n"
    "    listening 127.0.0.1:4001 sim:...\n"
    "  SIGINT or SIGTERM ends it; it then prints one line per printer that came to\n"
    "  each bench, and with --images DIR writes the firmware stream each received to\n"
    "  DIR/PORT-N.bin (N: the printer's place on the bench, from 1).\n"
    "  Example: velloquin-sim --listen 127.0.0.1:4001-4004 sim:flash_ms=2500\n";

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
    std::cerr << "velloquin-sim: cannot write " << out_path << ": " << std::strerror(errno) << "\n";
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

// ---- Serving printers over RFC 2217 ----

// Ports in one range at most: a typo such as 4001-40010 stays harmless.
constexpr unsigned kMaxRange = 256;
// How long the servers may take to let their clients and ports go.
constexpr int64_t kStopWaitMs = 5000;

struct ListenEntry {
  std::string host;   // dotted, as the ready line shows it
  uint32_t ip = 0;    // host order
  uint16_t port = 0;  // 0: a free one
  std::string spec;
};

struct ListenPlan {
  std::vector<ListenEntry> entries;
  std::string images_dir;
};

bool ParseLoopbackHost(const std::string& text, uint32_t* ip) {
  if (::strcasecmp(text.c_str(), "localhost") == 0) {
    *ip = INADDR_LOOPBACK;
    return true;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  *ip = ntohl(address.s_addr);
  return (*ip >> 24) == 127;
}

bool ParsePortNumber(const std::string& text, unsigned* port) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *port);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size() && *port <= 65535;
}

// "--listen HOST:PORT SPEC", "--listen HOST:FIRST-LAST SPEC [SPEC...]" (one
// spec for all or one per port), repeated, and "--images DIR".
bool ParseListenArguments(const std::vector<std::string>& args, ListenPlan* plan,
                          std::string* error) {
  size_t i = 0;
  while (i < args.size()) {
    const std::string& option = args[i];
    if (option == "--images" && i + 1 < args.size()) {
      plan->images_dir = args[i + 1];
      i += 2;
      continue;
    }
    if (option != "--listen" || i + 1 >= args.size()) {
      *error = "unexpected argument \"" + option + "\"";
      return false;
    }
    const std::string address = args[i + 1];
    i += 2;
    std::vector<std::string> specs;
    while (i < args.size() && velloquin::sim::IsSimName(args[i])) specs.push_back(args[i++]);
    const size_t colon = address.rfind(':');
    uint32_t ip = 0;
    if (colon == std::string::npos || !ParseLoopbackHost(address.substr(0, colon), &ip)) {
      *error = "--listen takes HOST:PORT with a loopback HOST (127.x.x.x or localhost), not \"" +
               address + "\"";
      return false;
    }
    const std::string ports = address.substr(colon + 1);
    const size_t dash = ports.find('-');
    unsigned first = 0, last = 0;
    const bool parsed = dash == std::string::npos
                            ? ParsePortNumber(ports, &first) && ParsePortNumber(ports, &last)
                            : ParsePortNumber(ports.substr(0, dash), &first) &&
                                  ParsePortNumber(ports.substr(dash + 1), &last);
    if (!parsed || last < first || (first == 0 && last != 0) || last - first >= kMaxRange) {
      *error = "bad port or port range in \"" + address + "\"";
      return false;
    }
    const size_t count = last - first + 1;
    if (specs.size() != 1 && specs.size() != count) {
      *error = "--listen " + address + " takes one sim: spec for every port or one per port (" +
               std::to_string(count) + " port(s), " + std::to_string(specs.size()) + " spec(s))";
      return false;
    }
    for (const std::string& spec : specs) {
      velloquin::sim::SimSpecResult result = velloquin::sim::ParseSimSpec(spec);
      if (!result.ok) {
        *error = result.error;
        return false;
      }
    }
    in_addr numeric{htonl(ip)};
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &numeric, dotted, sizeof(dotted));
    for (size_t k = 0; k < count; ++k) {
      plan->entries.push_back(ListenEntry{dotted, ip, static_cast<uint16_t>(first + k),
                                          specs[specs.size() == 1 ? 0 : k]});
    }
  }
  std::set<uint16_t> seen;
  for (const ListenEntry& entry : plan->entries) {
    if (entry.port != 0 && !seen.insert(entry.port).second) {
      *error = "port " + std::to_string(entry.port) + " is given twice";
      return false;
    }
  }
  if (plan->entries.empty()) {
    *error = "--listen needs HOST:PORT and a sim: spec";
    return false;
  }
  return true;
}

struct Served {
  const ListenEntry* entry;
  std::shared_ptr<velloquin::sim::SimPrinter> printer;
  std::unique_ptr<velloquin::sim::Rfc2217Server> server;
};

// One line per printer that came to each bench; the received streams into
// `images_dir` when given. 0, or 1 when a file could not be written.
int ReportPrinters(const std::vector<Served>& served, const std::string& images_dir) {
  int code = 0;
  for (const Served& s : served) {
    const std::string where = s.entry->host + ":" + std::to_string(s.server->port());
    const int seen = s.printer->printers_seen();
    if (seen == 0) std::printf("%s: no printer came\n", where.c_str());
    for (int n = 1; n <= seen; ++n) {
      velloquin::sim::PrinterView view = s.printer->Printer(n);
      std::printf("%s printer %d: received %zu bytes, %d flash write(s), %s\n", where.c_str(), n,
                  view.received_image.size(), view.flash_count,
                  view.File("Main.sy_") ? "main program stored" : "no main program");
      if (images_dir.empty()) continue;
      const std::string path =
          images_dir + "/" + std::to_string(s.server->port()) + "-" + std::to_string(n) + ".bin";
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(view.received_image.data()),
                static_cast<std::streamsize>(view.received_image.size()));
      out.close();
      if (!out) {
        std::cerr << "velloquin-sim: cannot write " << path << ": " << std::strerror(errno) << "\n";
        code = 1;
      }
    }
  }
  return code;
}

int RunListen(const ListenPlan& plan) {
  // The stop signals are taken here by sigwait; the server threads inherit
  // the blocked mask and never see them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  velloquin::Clock& clock = velloquin::SystemClock::Instance();
  std::string key_error;
  auto key = velloquin::UnlockKeyTable::Load(
      velloquin::BootDirectory() + velloquin::kUnlockKeyFileName, &key_error);
  if (!key) std::cerr << "velloquin-sim: " << key_error << "; every unlock will be refused\n";

  std::vector<Served> served;
  for (const ListenEntry& entry : plan.entries) {
    std::string error;
    auto printer = velloquin::sim::SimPrinter::FromSpec(entry.spec, &clock, key, &error);
    if (!printer) {
      std::cerr << "velloquin-sim: " << error << "\n";
      return 1;
    }
    int error_number = 0;
    auto server = velloquin::sim::Rfc2217Server::Start(
        entry.ip, entry.port, [printer](int* e) { return printer->Open(e); }, clock, {},
        &error_number);
    if (!server) {
      std::cerr << "velloquin-sim: cannot listen on " << entry.host << ":" << entry.port << ": "
                << std::strerror(error_number) << " (errno " << error_number << ")\n";
      return 1;
    }
    served.push_back(Served{&entry, std::move(printer), std::move(server)});
  }
  for (const Served& s : served) {
    std::printf("listening %s:%u %s\n", s.entry->host.c_str(), unsigned{s.server->port()},
                s.entry->spec.c_str());
  }
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  for (Served& s : served) s.server->Stop();
  const int64_t deadline = clock.NowMs() + kStopWaitMs;
  bool all_stopped = true;
  for (Served& s : served) {
    all_stopped =
        s.server->WaitStopped(std::max<int64_t>(0, deadline - clock.NowMs())) && all_stopped;
  }
  const int code = ReportPrinters(served, plan.images_dir);
  std::fflush(stdout);
  // A port whose queue is still draining (held by XOFF, say) keeps its
  // thread: end without waiting for it.
  if (!all_stopped) std::_Exit(code);
  return code;
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
  if (std::find(args.begin(), args.end(), "--listen") != args.end()) {
    ListenPlan plan;
    std::string error;
    if (!ParseListenArguments(args, &plan, &error)) {
      std::cerr << "velloquin-sim: " << error << "\n\n" << kUsage;
      return 2;
    }
    return RunListen(plan);
  }
  std::cerr << kUsage;
  return 2;
}
