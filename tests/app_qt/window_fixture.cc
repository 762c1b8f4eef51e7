#include "window_fixture.h"

namespace velloquin::testing_support {

std::optional<QString> ScriptedDialogs::ChooseFile(QWidget*, const QString& filter) {
  filters.push_back(filter);
  if (during_choice) during_choice();
  if (answers.empty()) return std::nullopt;
  QString answer = answers.front();
  answers.pop_front();
  return std::make_optional(answer);
}

void ScriptedDialogs::ShowMessage(QWidget*, const QString& caption, const QString& text) {
  messages.push_back({caption, text});
}

WindowFixture::WindowFixture(Clock* given_clock)
    : clock(given_clock ? given_clock : &virtual_clock) {
  start_thread = [this](PortSlot* slot) {
    launched.push_back(slot);
    return true;
  };
}

WindowFixture::~WindowFixture() = default;

ProgrammerDialog& WindowFixture::Make(int command_line_rows, SettingsStore* settings) {
  DialogServices services;
  services.table = &table;
  services.clock = clock;
  services.channels.clock = clock;
  services.channels.settings = settings ? settings : &store;
  services.start_thread = start_thread;
  services.file_dialogs = &dialogs;
  services.open_url = [this](const QUrl& url) {
    opened.push_back(url);
    return opener_result;
  };
  services.boot_directory = "/opt/velloquin/share/";
  dialog.reset();
  dialog = std::make_unique<ProgrammerDialog>(command_line_rows, std::move(services));
  return *dialog;
}

std::string StoredText(MemorySettingsStore& store, const std::string& name) {
  RegValue value;
  if (!store.Get(kChannelKey, name, &value)) return "<missing>";
  return std::string(value.data.begin(), value.data.end());
}

}  // namespace velloquin::testing_support
