#include "sim/boot_loader_model.h"

#include <cstdio>
#include <strings.h>

#include "bootloader/commands.h"
#include "bootloader/unlock.h"

namespace velloquin::sim {

namespace {

constexpr int64_t kCommandGapNs = 2000 * kNsPerMs;     // a cut-off command is dropped
constexpr int64_t kResponseWindowNs = 2000 * kNsPerMs;  // unlock response must follow
constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxFileSize = 16 * 1024 * 1024;

std::string HexBytes(const uint8_t* bytes, size_t count) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof(piece), i == 0 ? "%02X" : " %02X", bytes[i]);
    text += piece;
  }
  return text;
}

}  // namespace

uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

const FileStore::File* FileStore::Find(const std::string& name) const {
  for (const File& file : files_) {
    if (strcasecmp(file.name.c_str(), name.c_str()) == 0) return &file;
  }
  return nullptr;
}

void FileStore::Put(const std::string& name, ByteVector content, bool written_here) {
  Erase(name);
  files_.push_back(File{name, std::move(content), written_here});
}

bool FileStore::Erase(const std::string& name) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (strcasecmp(it->name.c_str(), name.c_str()) == 0) {
      files_.erase(it);
      return true;
    }
  }
  return false;
}

BootLoaderModel::BootLoaderModel(BootLoaderHost* host, std::shared_ptr<const UnlockKeyTable> key,
                                 bool reject_unlock, uint64_t seed)
    : host_(host), key_(std::move(key)), reject_unlock_(reject_unlock), random_state_(seed) {}

uint8_t BootLoaderModel::NextRandomByte() {
  return static_cast<uint8_t>(NextRandom(&random_state_) >> 56);
}

void BootLoaderModel::Restart() {
  parse_ = Parse::kIdle;
  unlocked_ = false;
  open_ = false;
  open_content_.clear();
}

void BootLoaderModel::OnByte(uint8_t byte, int64_t t_ns) {
  if (parse_ != Parse::kIdle && t_ns - last_byte_ns_ > kCommandGapNs) {
    host_->Log(SimEventKind::kIgnored, "command cut off", t_ns);
    parse_ = Parse::kIdle;
  }
  if (parse_ == Parse::kResponse && t_ns > response_deadline_ns_) parse_ = Parse::kIdle;
  last_byte_ns_ = t_ns;
  switch (parse_) {
    case Parse::kIdle:
      if (byte == BootCommandPrefix[0]) parse_ = Parse::kPrefix;
      return;
    case Parse::kPrefix:
      parse_ = byte == BootCommandPrefix[1] ? Parse::kCommand
               : byte == BootCommandPrefix[0] ? Parse::kPrefix
                                              : Parse::kIdle;
      return;
    case Parse::kCommand:
      parse_ = Parse::kIdle;
      Command(byte, t_ns);
      return;
    case Parse::kOpenW:
      parse_ = byte == 'w' ? Parse::kOpenBlank : Parse::kIdle;
      return;
    case Parse::kOpenBlank:
      parse_ = byte == ' ' ? Parse::kOpenName : Parse::kIdle;
      name_.clear();
      return;
    case Parse::kOpenName:
    case Parse::kDeleteName:
      NameByte(byte, t_ns);
      return;
    case Parse::kLengthLow:
      block_length_ = byte;
      parse_ = Parse::kLengthHigh;
      return;
    case Parse::kLengthHigh:
      block_length_ |= byte << 8;
      block_left_ = block_length_;
      if (block_accepted_) {
        host_->Log(SimEventKind::kWriteBlock, std::to_string(block_length_), t_ns);
      } else {
        host_->Log(SimEventKind::kIgnored,
                   "write block of " + std::to_string(block_length_) + ": locked or no file open",
                   t_ns);
      }
      parse_ = block_left_ > 0 ? Parse::kData : Parse::kIdle;
      return;
    case Parse::kData:
      DataByte(byte, t_ns);
      return;
    case Parse::kResponse:
      ResponseByte(byte, t_ns);
      return;
  }
}

bool BootLoaderModel::RequireUnlocked(const char* what, int64_t t_ns) {
  if (unlocked_) return true;
  host_->Log(SimEventKind::kIgnored, std::string(what) + ": locked", t_ns);
  return false;
}

void BootLoaderModel::Command(uint8_t letter, int64_t t_ns) {
  switch (letter) {
    case kCmdUnlock: {
      for (uint8_t& byte : challenge_) byte = NextRandomByte();
      unlocked_ = false;
      response_count_ = 0;
      response_deadline_ns_ = t_ns + kResponseWindowNs;
      parse_ = Parse::kResponse;
      host_->Log(SimEventKind::kUnlockRequest, HexBytes(challenge_.data(), 4), t_ns);
      host_->Reply(ByteVector(challenge_.begin(), challenge_.end()), t_ns);
      return;
    }
    case kCmdInfo: {
      host_->Log(SimEventKind::kInfoRequest, "", t_ns);
      std::string report = host_->InfoReport(t_ns);
      host_->Reply(ByteVector(report.begin(), report.end()), t_ns);
      host_->OnReportSent(t_ns);
      return;
    }
    case kCmdOpen:
      parse_ = Parse::kOpenW;
      return;
    case kCmdDelete:
      parse_ = Parse::kDeleteName;
      name_.clear();
      return;
    case kCmdWrite:
      block_accepted_ = unlocked_ && open_;
      parse_ = Parse::kLengthLow;
      return;
    case kCmdClose:
      if (!open_) {
        host_->Log(SimEventKind::kIgnored, "close: no file open", t_ns);
        return;
      }
      host_->Log(SimEventKind::kCloseFile,
                 open_name_ + " " + std::to_string(open_content_.size()) + " bytes", t_ns);
      files_.Put(open_name_, std::move(open_content_), true);
      open_content_.clear();
      open_ = false;
      return;
    case kCmdFinishLoad:
      host_->OnFinishLoad(t_ns);
      return;
    default:
      host_->Log(SimEventKind::kIgnored, "unknown command " + HexBytes(&letter, 1), t_ns);
  }
}

void BootLoaderModel::NameByte(uint8_t byte, int64_t t_ns) {
  if (byte != 0) {
    if (name_.size() < kMaxNameLength) {
      name_.push_back(static_cast<char>(byte));
      return;
    }
    host_->Log(SimEventKind::kIgnored, "file name too long", t_ns);
    parse_ = Parse::kIdle;
    return;
  }
  bool opening = parse_ == Parse::kOpenName;
  parse_ = Parse::kIdle;
  if (opening) {
    if (!RequireUnlocked(("open " + name_).c_str(), t_ns)) return;
    open_ = true;
    open_name_ = name_;
    open_content_.clear();
    host_->Log(SimEventKind::kOpenWrite, name_, t_ns);
    return;
  }
  if (!RequireUnlocked(("delete " + name_).c_str(), t_ns)) return;
  bool was_there = files_.Erase(name_);
  host_->Log(SimEventKind::kDeleteFile, name_ + (was_there ? "" : " (not there)"), t_ns);
}

void BootLoaderModel::DataByte(uint8_t byte, int64_t t_ns) {
  if (block_accepted_) {
    if (open_content_.size() < kMaxFileSize) {
      open_content_.push_back(byte);
    } else if (block_left_ == block_length_) {
      host_->Log(SimEventKind::kIgnored, "file store full", t_ns);
    }
  }
  if (--block_left_ == 0) parse_ = Parse::kIdle;
}

void BootLoaderModel::ResponseByte(uint8_t byte, int64_t t_ns) {
  response_[response_count_++] = byte;
  if (response_count_ < 4) return;
  parse_ = Parse::kIdle;
  bool right = key_ != nullptr && ComputeUnlockResponse(challenge_, *key_) == response_;
  unlocked_ = right && !reject_unlock_;
  std::string detail = HexBytes(response_.data(), 4);
  if (key_ == nullptr) detail += ": no key table";
  host_->Log(unlocked_ ? SimEventKind::kUnlockAccepted : SimEventKind::kUnlockRejected, detail,
             t_ns);
}

}  // namespace velloquin::sim
