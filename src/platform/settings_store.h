// The settings store stands in for the registry: keys holding typed values
// (4-byte numbers, texts, binary data), value and key names compared without
// case. It lives in one human-editable text file in the registry export format
// ("REGEDIT4"), so a key exported from a Windows station can be dropped in.
//
// Every write is a read-modify-write of the whole file under an advisory lock,
// written to a temporary file and renamed into place: two running copies never
// corrupt the file or drop each other's values. A file that cannot be parsed
// is never rewritten (nothing in it is lost); readers then see no values and
// the problem is reported once through the log callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velloquin {

// Value types, with the registry's numbers.
enum class ValueType : uint32_t {
  kNone = 0,
  kString = 1,  // REG_SZ: text, normally with its terminating zero byte
  kExpandString = 2,
  kBinary = 3,
  kDword = 4,  // 4-byte little-endian number
  kMultiString = 7,
};

struct RegValue {
  ValueType type = ValueType::kNone;
  std::vector<uint8_t> data;  // exactly the stored bytes
  bool operator==(const RegValue&) const = default;
};

enum class KeyAccess {
  kAllAccess,  // read and write; fails when the file cannot be written or parsed
  kRead,       // read only; opens any key of an unparseable file, showing no values
  kCreate,     // read and write, creating the key (and the file) when it is missing
};

// Result codes, with the registry's numbers where a caller may test them.
inline constexpr int kRegOk = 0;
inline constexpr int kRegNotFound = 2;     // ERROR_FILE_NOT_FOUND
inline constexpr int kRegAccessDenied = 5;  // ERROR_ACCESS_DENIED
inline constexpr int kRegInvalidParameter = 87;  // a name the file cannot carry
inline constexpr int kRegMoreData = 234;   // ERROR_MORE_DATA
inline constexpr int kRegNoMoreItems = 259;  // ERROR_NO_MORE_ITEMS
inline constexpr int kRegBadFile = 1009;    // ERROR_BADDB: the file is corrupt

class SettingsKey {
 public:
  virtual ~SettingsKey() = default;
  // The key's full path, e.g. "HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane\IOCommZambrix".
  virtual const std::string& Path() const = 0;
  // Reads a value of at most max_size bytes. A larger value is not read
  // (kRegMoreData, *value untouched); an absent one gives kRegNotFound.
  virtual int QueryValue(const std::string& name, size_t max_size, RegValue* value) = 0;
  // Writes a value: kRegAccessDenied for a key opened read-only or a file
  // (or folder) that cannot be written, kRegBadFile when the file has become
  // unparseable, kRegInvalidParameter for a name with a line break.
  virtual int SetValue(const std::string& name, ValueType type, const std::vector<uint8_t>& data) = 0;
  // Names of the direct subkeys, by index from 0 (kRegNoMoreItems past the end).
  virtual int EnumSubKey(uint32_t index, std::string* name) = 0;
  // Opens a direct subkey (name relative to this key).
  virtual std::unique_ptr<SettingsKey> OpenSubKey(const std::string& name, KeyAccess access,
                                                  int* error) = 0;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // Opens a key by its full path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."). A key
  // exists when the file has its section or a section below it.
  virtual std::unique_ptr<SettingsKey> OpenKey(const std::string& path, KeyAccess access,
                                               int* error) = 0;
};

// The file-backed store.
class FileSettingsStore final : public SettingsStore {
 public:
  // `log` receives a one-line description of a problem with the file (it is
  // reported once per distinct problem); it may be empty.
  FileSettingsStore(std::string path, std::function<void(const std::string&)> log);
  ~FileSettingsStore() override;
  std::unique_ptr<SettingsKey> OpenKey(const std::string& path, KeyAccess access,
                                       int* error) override;
  const std::string& FilePath() const;

  // The file's path: $VELLOQUIN_REGISTRY when set, else
  // $XDG_CONFIG_HOME/velloquin/settings.reg, else ~/.config/velloquin/settings.reg.
  static std::string DefaultPath();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace velloquin
