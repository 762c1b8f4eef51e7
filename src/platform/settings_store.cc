#include "platform/settings_store.h"
#include "platform/sys_retry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/reg_file.h"

namespace velloquin {
namespace {

// A settings file is a few kilobytes; anything far larger is not one.
constexpr off_t kMaxFileSize = 16 << 20;
constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kNewFolderMode = 0755;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and returns 0 or the OS error of close.
  int Reset() {
    int error = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) error = errno;
    fd_ = -1;
    return error;
  }

 private:
  int fd_;
};

std::string OsError(const char* operation, int error) {
  return std::string(operation) + " failed, error " + std::to_string(error) + " (" +
         std::strerror(error) + ")";
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A file or folder without any write permission bit is read-only by intent,
// even for a user (root) whom the permissions would not stop.
bool IsWritable(const std::string& path, const struct stat& st) {
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(path.c_str(), W_OK) == 0;
}

// Creates the folder and the folders above it that are missing.
int MakeFolders(const std::string& folder) {
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  if (errno != ENOENT) return errno;
  std::string parent = FolderOf(folder);
  if (parent != folder) {
    if (int error = MakeFolders(parent)) return error;
  }
  if (::mkdir(folder.c_str(), kNewFolderMode) != 0 && errno != EEXIST) return errno;
  return 0;
}

// Reads the whole file; returns 0, ENOENT for a missing file, or the OS error.
int ReadWholeFile(const std::string& path, std::string* text) {
  text->clear();
  UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return errno;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (st.st_size > kMaxFileSize) return EFBIG;
  char buffer[8192];
  while (true) {
    ssize_t n = RetryOnInterrupt([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > static_cast<size_t>(kMaxFileSize)) return EFBIG;
  }
}

int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = RetryOnInterrupt([&] { return ::write(fd, data.data() + done, data.size() - done); });
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// What a key shows: its values and subkeys at the time it was read.
struct KeySnapshot {
  std::vector<RegItem> values;
  std::vector<std::string> subkeys;

  KeySnapshot(const RegDocument& document, const std::string& path)
      : subkeys(RegSubKeyNames(document, path)) {
    if (const RegSection* section = RegFindSection(document, path)) {
      for (const RegItem& item : section->items) {
        if (item.is_value) values.push_back(item);
      }
    }
  }
};

}  // namespace

struct FileSettingsStore::Impl {
  std::string path;
  std::string lock_path;
  std::function<void(const std::string&)> log;
  std::mutex mutex;          // guards last_problem
  std::string last_problem;  // the problem reported last, so that it is reported once

  void Report(const std::string& problem) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (problem == last_problem) return;
      last_problem = problem;
    }
    if (log) log(problem);
  }

  void ClearProblem() {
    std::lock_guard<std::mutex> lock(mutex);
    last_problem.clear();
  }

  // Reads and parses the file. A missing file is an empty document.
  int Load(RegDocument* document) {
    *document = {};
    std::string text;
    int error = ReadWholeFile(path, &text);
    if (error == ENOENT) return kRegOk;
    if (error != 0) {
      Report("Settings file " + path + ": " + OsError("read", error) +
             "; its values are ignored and it is not rewritten");
      return error == EFBIG ? kRegBadFile : kRegAccessDenied;
    }
    RegParseResult parsed = ParseRegFile(text);
    if (!parsed.ok) {
      Report("Settings file " + path + ", line " + std::to_string(parsed.line) + ": " +
             parsed.error + "; its values are ignored and it is not rewritten");
      return kRegBadFile;
    }
    ClearProblem();
    *document = std::move(parsed.document);
    return kRegOk;
  }

  // kRegOk when both the file (if there) and its folder (if there) may be
  // rewritten, else kRegAccessDenied.
  int CheckWritable() const {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !IsWritable(path, st)) return kRegAccessDenied;
    std::string folder = FolderOf(path);
    if (::stat(folder.c_str(), &st) == 0 && !IsWritable(folder, st)) return kRegAccessDenied;
    return kRegOk;
  }

  // The read-modify-write of the whole file: under the lock, re-read the file
  // (another copy may have saved in the meantime), apply the change, write a
  // temporary file beside it and rename that into place. On success
  // *document holds what was written.
  int Modify(const std::function<void(RegDocument*)>& change, RegDocument* document) {
    if (int rc = CheckWritable(); rc != kRegOk) return rc;
    if (int error = MakeFolders(FolderOf(path))) {
      Report("Settings file " + path + ": " + OsError("mkdir", error));
      return kRegAccessDenied;
    }
    UniqueFd lock(RetryOnInterrupt(
        [&] { return ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode); }));
    if (!lock.valid()) {
      Report("Settings file " + path + ": " + OsError("open of the lock file", errno));
      return kRegAccessDenied;
    }
    if (RetryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX); }) != 0) {
      Report("Settings file " + path + ": " + OsError("flock", errno));
      return kRegAccessDenied;
    }
    if (int rc = Load(document); rc != kRegOk) return rc;  // a bad file is never rewritten
    if (int rc = CheckWritable(); rc != kRegOk) return rc;
    change(document);
    if (int error = WriteReplacing(FormatRegFile(*document))) {
      Report("Settings file " + path + ": " + OsError("save", error));
      return kRegAccessDenied;
    }
    return kRegOk;
  }

  // Writes the text into a temporary file in the same folder, flushes it to
  // the disk and renames it over the file: readers see the old or the new
  // file, never a part.
  int WriteReplacing(const std::string& text) const {
    std::string target = ReplacedPath();
    struct stat old;
    bool had_file = ::stat(target.c_str(), &old) == 0;
    std::string temp = target + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) return errno;
    int error = WriteAll(fd.get(), text);
    if (error == 0 && ::fchmod(fd.get(), had_file ? old.st_mode & 07777 : kNewFileMode) != 0) {
      error = errno;
    }
    if (error == 0 && had_file && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
      (void)!::fchown(fd.get(), old.st_uid, old.st_gid);  // keep the owner where permitted
    }
    if (error == 0 && RetryOnInterrupt([&] { return ::fsync(fd.get()); }) != 0) error = errno;
    if (int close_error = fd.Reset(); error == 0) error = close_error;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
      ::unlink(temp.c_str());
      return error;
    }
    UniqueFd folder(RetryOnInterrupt(
        [&] { return ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (folder.valid()) RetryOnInterrupt([&] { return ::fsync(folder.get()); });  // the rename itself
    return 0;
  }

  // The file that a save replaces: the target of a symbolic link, so that a
  // linked settings file stays linked.
  std::string ReplacedPath() const {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target = resolved;
    std::free(resolved);
    return target;
  }

  std::unique_ptr<SettingsKey> Open(const std::shared_ptr<Impl>& self, const std::string& key_path,
                                    KeyAccess access, int* error);
};

namespace {

// A key reads a snapshot of its values when it is opened and after each of
// its own writes; a channel reads its values once, so later edits of the file
// by others show in keys opened later.
class FileSettingsKey final : public SettingsKey {
 public:
  FileSettingsKey(std::shared_ptr<FileSettingsStore::Impl> store, std::string path, bool writable,
                  const RegDocument& document)
      : store_(std::move(store)),
        path_(std::move(path)),
        writable_(writable),
        snapshot_(document, path_) {}

  const std::string& Path() const override { return path_; }

  int QueryValue(const std::string& name, size_t max_size, RegValue* value) override {
    for (const RegItem& item : snapshot_.values) {
      if (!RegNamesEqual(item.name, name)) continue;
      if (item.value.data.size() > max_size) return kRegMoreData;
      if (value) *value = item.value;
      return kRegOk;
    }
    return kRegNotFound;
  }

  int SetValue(const std::string& name, ValueType type, const std::vector<uint8_t>& data) override {
    if (!writable_) return kRegAccessDenied;
    if (!IsWritableValueName(name)) return kRegInvalidParameter;
    RegDocument document;
    int rc = store_->Modify(
        [&](RegDocument* d) {
          RegSetValue(&RegEnsureSection(d, path_), name, RegValue{type, data});
        },
        &document);
    if (rc == kRegOk) snapshot_ = KeySnapshot(document, path_);
    return rc;
  }

  int EnumSubKey(uint32_t index, std::string* name) override {
    if (index >= snapshot_.subkeys.size()) return kRegNoMoreItems;
    if (name) *name = snapshot_.subkeys[index];
    return kRegOk;
  }

  std::unique_ptr<SettingsKey> OpenSubKey(const std::string& name, KeyAccess access,
                                          int* error) override {
    return store_->Open(store_, name.empty() ? path_ : path_ + "\\" + name, access, error);
  }

 private:
  std::shared_ptr<FileSettingsStore::Impl> store_;
  std::string path_;
  bool writable_;
  KeySnapshot snapshot_;
};

}  // namespace

std::unique_ptr<SettingsKey> FileSettingsStore::Impl::Open(const std::shared_ptr<Impl>& self,
                                                           const std::string& key_path,
                                                           KeyAccess access, int* error) {
  int unused;
  if (!error) error = &unused;
  std::vector<std::string> parts;
  if (!SplitKeyPath(key_path, &parts)) {
    *error = access == KeyAccess::kCreate ? kRegInvalidParameter : kRegNotFound;
    return nullptr;
  }
  RegDocument document;
  if (int rc = Load(&document); rc != kRegOk) {
    // A file that cannot be read or parsed still opens for reading, showing
    // no values, so that callers go on with their defaults.
    if (access != KeyAccess::kRead) {
      *error = rc;
      return nullptr;
    }
  } else if (!RegKeyExists(document, key_path)) {
    if (access != KeyAccess::kCreate) {
      *error = kRegNotFound;
      return nullptr;
    }
    if (int rc = Modify([&](RegDocument* d) { RegEnsureSection(d, key_path); }, &document);
        rc != kRegOk) {
      *error = rc;
      return nullptr;
    }
  } else if (access != KeyAccess::kRead && CheckWritable() != kRegOk) {
    *error = kRegAccessDenied;
    return nullptr;
  }
  *error = kRegOk;
  return std::make_unique<FileSettingsKey>(self, RegCanonicalPath(document, key_path),
                                           access != KeyAccess::kRead, document);
}

FileSettingsStore::FileSettingsStore(std::string path, std::function<void(const std::string&)> log)
    : impl_(std::make_shared<Impl>()) {
  impl_->path = std::move(path);
  impl_->lock_path = impl_->path + ".lock";
  impl_->log = std::move(log);
}

FileSettingsStore::~FileSettingsStore() = default;

std::unique_ptr<SettingsKey> FileSettingsStore::OpenKey(const std::string& path, KeyAccess access,
                                                        int* error) {
  return impl_->Open(impl_, path, access, error);
}

const std::string& FileSettingsStore::FilePath() const { return impl_->path; }

std::string FileSettingsStore::DefaultPath() {
  const char* registry = std::getenv("VELLOQUIN_REGISTRY");
  if (registry && *registry) return registry;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/velloquin/settings.reg";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/velloquin/settings.reg";
}

}  // namespace velloquin
