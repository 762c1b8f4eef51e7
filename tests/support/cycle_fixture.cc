#include "support/cycle_fixture.h"

#include <unistd.h>

#include <atomic>
#include <fstream>

namespace velloquin::testing_support {

CycleFixture::CycleFixture() {
  static std::atomic<int> counter{0};
  dir = std::filesystem::temp_directory_path() /
        ("velloquin-cycle-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  context.dialog = &dialog;
  context.clock = &channel.clock;
  context.unlock_key = std::make_shared<UnlockKeyTable>(std::array<uint8_t, kUnlockKeySize>{});
  context.boot_directory = dir.string() + "/";
  context.log = &channel.log;
  context.channel_env = channel.env;
  slot.PortControlId = kPortId;
  slot.StatusControlId = kStatusId;
  slot.State = Restarting;
  dialog.SetPortName("COM1:");
  dialog.SetVerifyFileText(NoVerificationMessage);
  channel.port->SetResponder([this](const Bytes& w, Bytes* r) { Respond(w, r); });
  worker = std::make_unique<CycleWorker>(&slot, context);
}

CycleFixture::~CycleFixture() {
  worker.reset();
  slot.Clear();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

void CycleFixture::Respond(const Bytes& written, Bytes* reply) {
  // Runs under the port's lock, on the worker's thread.
  if (written == BootModeCheck) {
    if (!script.boot_mode_replies.empty()) {
      size_t i = std::min<size_t>(boot_mode_checks, script.boot_mode_replies.size() - 1);
      *reply = script.boot_mode_replies[i];
    }
    ++boot_mode_checks;
  } else if (written == UnlockRequest && script.answers_unlock) {
    *reply = {0, 0, 0, 0};
    unlocked = true;
  } else if (written == InfoRequest && unlocked) {
    reply->assign(script.info_text.begin(), script.info_text.end());
  } else if (written.size() == 1000 || (!written.empty() && written.size() < 1000 &&
                                        written != UnlockFiller && written.size() > 4)) {
    *reply = script.download_reply;
  }
}

std::string CycleFixture::WriteFile(const std::string& name, const std::string& content) {
  std::string path = (dir / name).string();
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string CycleFixture::MakeFirmware(size_t size, const std::string& name) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + 3);
  std::string path = WriteFile(name, content);
  dialog.SetFirmwarePath(path);
  return path;
}

bool CycleFixture::RunUntil(SlotState state, int max_passes) {
  for (int i = 0; i < max_passes; ++i) {
    if (State() == state) return true;
    worker->Step();
  }
  return State() == state;
}

void CycleFixture::Run(int passes) {
  for (int i = 0; i < passes; ++i) worker->Step();
}

void CycleFixture::Button(bool held) {
  std::lock_guard<std::mutex> lock(Port().Mutex());
  if (held) {
    Port().modem_status |= kModemCtsOn;
  } else {
    Port().modem_status &= ~kModemCtsOn;
  }
}

}  // namespace velloquin::testing_support
