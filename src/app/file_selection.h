// Choosing the firmware file: the file dialog (through a seam, so tests answer
// it), the verification file found by name, and the two paths saved in the
// settings key so the next start shows them again.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

#include "iocomm/channel_env.h"

class QWidget;

namespace velloquin {

// Filter of the file dialog: the description shown, four blanks after
// "files", and its patterns.
inline constexpr char kBootFilesFilter[] = "Boot files    (*.bot;*.cbt)";
// Names of the saved values in the settings key.
inline constexpr char kFilePathValue[] = "FilePath";
inline constexpr char kVerFilePathValue[] = "VerFilePath";
// The start-up reader's buffer: a saved text of up to 998 characters is shown.
inline constexpr size_t kSavedPathBuffer = 999;

// The dialogs an operator answers while choosing a file.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The file-open dialog with `filter`, owned by `owner`; the full path of the
  // chosen file (which need not exist), or nothing when the operator cancels.
  virtual std::optional<QString> ChooseFile(QWidget* owner, const QString& filter) = 0;
  // A message box with one OK button; returns when the operator has closed it.
  virtual void ShowMessage(QWidget* owner, const QString& caption, const QString& text) = 0;
};

// The desktop's own dialogs.
class QtFileDialogs final : public FileDialogs {
 public:
  std::optional<QString> ChooseFile(QWidget* owner, const QString& filter) override;
  void ShowMessage(QWidget* owner, const QString& caption, const QString& text) override;
};

// Whether a file name matches the boot files' patterns (*.bot, *.cbt).
bool IsBootFileName(const QString& name);

struct SavedPaths {
  std::string firmware;  // "FilePath"
  std::string verify;    // "VerFilePath"
};

// Reads both values through a temporary channel's settings key. A value that
// is missing, cannot be read, or is longer than 998 characters gives "".
SavedPaths LoadSavedPaths(const ChannelEnv& env);

// Writes both values as texts of their own length (no terminating zero)
// through a temporary channel's settings key. Returns whether both were
// written; a read-only store simply keeps the old values.
bool SaveChosenPaths(const ChannelEnv& env, const SavedPaths& paths);

// The verification value of a chosen firmware path: the path with ".ver"
// (derived as the headless station derives it) when that file opens for
// reading, else NoVerificationMessage after `tell_no_file` has told the
// operator.
std::string VerificationValue(const std::string& firmware_path,
                              const std::function<void()>& tell_no_file);

// The working directory, put back when the guard ends.
class WorkingDirectoryGuard {
 public:
  WorkingDirectoryGuard();
  ~WorkingDirectoryGuard();
  WorkingDirectoryGuard(const WorkingDirectoryGuard&) = delete;
  WorkingDirectoryGuard& operator=(const WorkingDirectoryGuard&) = delete;

 private:
  std::string saved_;
};

}  // namespace velloquin
