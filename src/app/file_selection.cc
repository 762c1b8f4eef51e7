#include "app/file_selection.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QSortFilterProxyModel>
#include <cstdio>
#include <filesystem>

#include "bootloader/worker_operations.h"
#include "cli/station_options.h"
#include "iocomm/io_comm.h"

namespace velloquin {
namespace {

// Qt reads a filter's patterns as separated by blanks, so "*.bot;*.cbt" would
// match nothing. The dialog keeps showing the filter as written, lets every
// name through its own model (greyed) and this proxy shows folders and boot
// files, enabled.
class BootFileProxy final : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (!files) return true;
    QModelIndex index = files->index(row, 0, parent);
    return files->isDir(index) || IsBootFileName(files->fileName(index));
  }
  Qt::ItemFlags flags(const QModelIndex& index) const override {
    Qt::ItemFlags flags = QSortFilterProxyModel::flags(index);
    if (index.isValid()) flags |= Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return flags;
  }
};

std::string ReadSavedText(SettingsKey* key, const char* name) {
  RegValue value;
  if (!key || key->QueryValue(name, kSavedPathBuffer, &value) != kRegOk) return {};
  std::string text(value.data.begin(), value.data.end());
  size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  // A text that fills the whole buffer has no room for its end: it would be
  // shown cut, and a cut path names another file. Show nothing instead.
  if (text.size() >= kSavedPathBuffer) return {};
  return text;
}

}  // namespace

std::optional<QString> QtFileDialogs::ChooseFile(QWidget* owner, const QString& filter) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // the chosen file need not exist
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilter(filter);
  dialog.setProxyModel(new BootFileProxy(&dialog));
  if (auto* files = qobject_cast<QFileSystemModel*>(dialog.proxyModel()->sourceModel())) {
    files->setNameFilterDisables(true);
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

void QtFileDialogs::ShowMessage(QWidget* owner, const QString& caption, const QString& text) {
  QMessageBox::information(owner, caption, text, QMessageBox::Ok);
}

bool IsBootFileName(const QString& name) {
  return name.endsWith(QLatin1String(".bot"), Qt::CaseInsensitive) ||
         name.endsWith(QLatin1String(".cbt"), Qt::CaseInsensitive);
}

SavedPaths LoadSavedPaths(const ChannelEnv& env) {
  IOComm channel(env);
  std::unique_ptr<SettingsKey> key = channel.OpenSettingsKey();
  SavedPaths paths;
  paths.firmware = ReadSavedText(key.get(), kFilePathValue);
  paths.verify = ReadSavedText(key.get(), kVerFilePathValue);
  return paths;
}

bool SaveChosenPaths(const ChannelEnv& env, const SavedPaths& paths) {
  IOComm channel(env);
  std::unique_ptr<SettingsKey> key = channel.OpenSettingsKey();
  if (!key) return false;
  auto write = [&key](const char* name, const std::string& text) {
    return key->SetValue(name, ValueType::kString,
                         std::vector<uint8_t>(text.begin(), text.end())) == kRegOk;
  };
  bool firmware_written = write(kFilePathValue, paths.firmware);
  bool verify_written = write(kVerFilePathValue, paths.verify);
  return firmware_written && verify_written;
}

std::string VerificationValue(const std::string& firmware_path,
                              const std::function<void()>& tell_no_file) {
  std::string path = DeriveVerificationPath(firmware_path);
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fclose(file);
    return path;
  }
  if (tell_no_file) tell_no_file();
  return NoVerificationMessage;
}

WorkingDirectoryGuard::WorkingDirectoryGuard() {
  std::error_code error;
  saved_ = std::filesystem::current_path(error).string();
}

WorkingDirectoryGuard::~WorkingDirectoryGuard() {
  if (saved_.empty()) return;
  std::error_code error;
  std::filesystem::current_path(saved_, error);
}

}  // namespace velloquin
