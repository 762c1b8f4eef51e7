// A station window for tests: its own row table, an in-memory settings store,
// scripted file dialogs and a recording opener; workers are launched into a
// list unless the test hands its own launcher.
#pragma once

#include <QString>
#include <QUrl>
#include <ostream>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/file_selection.h"
#include "app/programmer_dialog.h"
#include "support/memory_settings_store.h"

// Readable texts in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace velloquin::testing_support {

// The file dialog answers from a queue; message boxes
// are recorded. `during_choice` runs while the file dialog is "open".
class ScriptedDialogs final : public FileDialogs {
 public:
  std::optional<QString> ChooseFile(QWidget* owner, const QString& filter) override;
  void ShowMessage(QWidget* owner, const QString& caption, const QString& text) override;

  std::deque<QString> answers;  // the chosen paths, in turn; none left: cancelled
  std::function<void()> during_choice;
  std::vector<QString> filters;
  struct Message {
    QString caption;
    QString text;
  };
  std::vector<Message> messages;
};

struct WindowFixture {
  explicit WindowFixture(Clock* clock = nullptr);
  ~WindowFixture();

  // Builds the window as the command line's rows say (0: none given).
  ProgrammerDialog& Make(int command_line_rows, SettingsStore* settings = nullptr);

  SlotTable table;
  VirtualClock virtual_clock;
  Clock* clock;
  MemorySettingsStore store;
  ScriptedDialogs dialogs;
  std::vector<QUrl> opened;
  bool opener_result = true;
  std::vector<PortSlot*> launched;
  StartWorkerThread start_thread;  // default: into `launched`
  std::unique_ptr<ProgrammerDialog> dialog;
};

// The saved text of a value of the settings key, exactly as stored.
std::string StoredText(MemorySettingsStore& store, const std::string& name);

}  // namespace velloquin::testing_support
