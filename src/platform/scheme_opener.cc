#include "platform/scheme_opener.h"

#include <strings.h>

#include <cerrno>

namespace velloquin {
namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         ::strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool SamePrefix(const std::string& a, const std::string& b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

}  // namespace

void SchemeOpener::Register(std::string prefix, SerialOpener* opener) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(schemes_, [&](const auto& entry) { return SamePrefix(entry.first, prefix); });
  if (opener != nullptr && !prefix.empty()) schemes_.emplace_back(std::move(prefix), opener);
}

SerialOpener* SchemeOpener::OpenerFor(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  SerialOpener* best = nullptr;
  size_t best_length = 0;
  for (const auto& [prefix, opener] : schemes_) {
    if (prefix.size() > best_length && StartsWithNoCase(name, prefix)) {
      best = opener;
      best_length = prefix.size();
    }
  }
  if (best != nullptr) return best;
  if (name.find("://") != std::string::npos) return nullptr;
  return default_opener_;
}

std::unique_ptr<SerialDevice> SchemeOpener::Open(const std::string& name, int* error) {
  SerialOpener* opener = OpenerFor(name);
  if (opener == nullptr) {
    if (error != nullptr) *error = ENOENT;
    return nullptr;
  }
  return opener->Open(name, error);
}

}  // namespace velloquin
