// An in-memory settings store for tests: keys by path, values by name, both
// compared without case; counts writes so tests can assert what was saved.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/settings_store.h"

namespace velloquin::testing_support {

class MemorySettingsStore final : public SettingsStore {
 public:
  std::unique_ptr<SettingsKey> OpenKey(const std::string& path, KeyAccess access,
                                       int* error) override;

  // Test helpers (full key paths, e.g. "HKEY_LOCAL_MACHINE\\SOFTWARE\\...").
  void SetDword(const std::string& path, const std::string& name, uint32_t value);
  void SetText(const std::string& path, const std::string& name, const std::string& text);
  void SetBinary(const std::string& path, const std::string& name, const std::vector<uint8_t>& data);
  bool Get(const std::string& path, const std::string& name, RegValue* value);
  void CreateKey(const std::string& path);

  bool read_only = false;  // kAllAccess and kCreate fail, writes are refused
  int writes = 0;          // successful SetValue calls
  std::vector<std::string> written_names;

  struct Key {
    std::string path;
    std::vector<std::pair<std::string, RegValue>> values;  // in insertion order
  };
  std::mutex mutex;
  std::map<std::string, Key> keys;  // by lower-case path
};

// The settings key of the channel, full path.
inline const std::string kChannelKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix";

}  // namespace velloquin::testing_support
