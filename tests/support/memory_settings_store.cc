#include "support/memory_settings_store.h"

#include <algorithm>
#include <cctype>

namespace velloquin::testing_support {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class MemoryKey final : public SettingsKey {
 public:
  MemoryKey(MemorySettingsStore* store, std::string path, bool writable)
      : store_(store), path_(std::move(path)), writable_(writable) {}
  const std::string& Path() const override { return path_; }

  int QueryValue(const std::string& name, size_t max_size, RegValue* value) override {
    std::lock_guard<std::mutex> lock(store_->mutex);
    auto& key = store_->keys[Lower(path_)];
    for (auto& [n, v] : key.values) {
      if (Lower(n) != Lower(name)) continue;
      if (v.data.size() > max_size) return kRegMoreData;
      *value = v;
      return kRegOk;
    }
    return kRegNotFound;
  }

  int SetValue(const std::string& name, ValueType type, const std::vector<uint8_t>& data) override {
    std::lock_guard<std::mutex> lock(store_->mutex);
    if (!writable_ || store_->read_only) return kRegAccessDenied;
    auto& key = store_->keys[Lower(path_)];
    key.path = path_;
    ++store_->writes;
    store_->written_names.push_back(name);
    for (auto& [n, v] : key.values) {
      if (Lower(n) == Lower(name)) {
        v = RegValue{type, data};
        return kRegOk;
      }
    }
    key.values.emplace_back(name, RegValue{type, data});
    return kRegOk;
  }

  int EnumSubKey(uint32_t index, std::string* name) override {
    std::lock_guard<std::mutex> lock(store_->mutex);
    std::string prefix = Lower(path_) + "\\";
    std::vector<std::string> children;
    for (auto& [lower, key] : store_->keys) {
      if (lower.rfind(prefix, 0) != 0) continue;
      std::string rest = key.path.substr(prefix.size());
      rest = rest.substr(0, rest.find('\\'));
      if (std::find(children.begin(), children.end(), rest) == children.end()) {
        children.push_back(rest);
      }
    }
    if (index >= children.size()) return kRegNoMoreItems;
    *name = children[index];
    return kRegOk;
  }

  std::unique_ptr<SettingsKey> OpenSubKey(const std::string& name, KeyAccess access,
                                          int* error) override {
    return store_->OpenKey(path_ + "\\" + name, access, error);
  }

 private:
  MemorySettingsStore* store_;
  std::string path_;
  bool writable_;
};

}  // namespace

std::unique_ptr<SettingsKey> MemorySettingsStore::OpenKey(const std::string& path,
                                                          KeyAccess access, int* error) {
  std::lock_guard<std::mutex> lock(mutex);
  bool writable = access != KeyAccess::kRead;
  if (writable && read_only) {
    *error = kRegAccessDenied;
    return nullptr;
  }
  std::string lower = Lower(path);
  bool exists = false;
  for (auto& [k, key] : keys) {
    if (k == lower || k.rfind(lower + "\\", 0) == 0) exists = true;
  }
  if (!exists) {
    if (access != KeyAccess::kCreate) {
      *error = kRegNotFound;
      return nullptr;
    }
    keys[lower].path = path;
  }
  *error = kRegOk;
  return std::make_unique<MemoryKey>(this, keys.count(lower) ? keys[lower].path : path, writable);
}

void MemorySettingsStore::CreateKey(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  keys[Lower(path)].path = path;
}

void MemorySettingsStore::SetDword(const std::string& path, const std::string& name,
                                   uint32_t value) {
  SetBinary(path, name,
            {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
             static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& [n, v] : keys[Lower(path)].values) {
    if (Lower(n) == Lower(name)) v.type = ValueType::kDword;
  }
}

void MemorySettingsStore::SetText(const std::string& path, const std::string& name,
                                  const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  SetBinary(path, name, data);
  std::lock_guard<std::mutex> lock(mutex);
  for (auto& [n, v] : keys[Lower(path)].values) {
    if (Lower(n) == Lower(name)) v.type = ValueType::kString;
  }
}

void MemorySettingsStore::SetBinary(const std::string& path, const std::string& name,
                                    const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> lock(mutex);
  auto& key = keys[Lower(path)];
  key.path = path;
  for (auto& [n, v] : key.values) {
    if (Lower(n) == Lower(name)) {
      v = RegValue{ValueType::kBinary, data};
      return;
    }
  }
  key.values.emplace_back(name, RegValue{ValueType::kBinary, data});
}

bool MemorySettingsStore::Get(const std::string& path, const std::string& name, RegValue* value) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = keys.find(Lower(path));
  if (it == keys.end()) return false;
  for (auto& [n, v] : it->second.values) {
    if (Lower(n) == Lower(name)) {
      *value = v;
      return true;
    }
  }
  return false;
}

}  // namespace velloquin::testing_support
