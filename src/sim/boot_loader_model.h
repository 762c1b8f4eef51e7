// The simulated printer's boot loader: the commands behind the prefix 1C 66
// at 115200 baud 8N1, the unlock handshake and the named-file store.
//
//   1C 66 41            unlock: replies a 4-byte challenge from the seeded
//                       generator; the next 4 bytes, within 2 s, are the
//                       response, checked with ComputeUnlockResponse and the
//                       key table. A new request locks until answered.
//   1C 66 49            info: replies the report (also while locked)
//   1C 66 4F 77 20 n 00 open file n for writing (unlocked only)
//   1C 66 57 lo hi data write a block to the open file (unlocked only)
//   1C 66 43            close the open file: it is stored under its name
//   1C 66 44 n 00       delete file n (unlocked only)
//   1C 66 40            finish load
//
// A command cut off by more than 2 s of silence is dropped. The printer
// itself decides what the report says and what finish load does.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/unlock_key.h"
#include "sim/sim_events.h"
#include "sim/sim_options.h"

namespace velloquin::sim {

using ByteVector = std::vector<uint8_t>;

// The boot loader's files, names kept as written and found without regard
// to case.
class FileStore {
 public:
  struct File {
    std::string name;
    ByteVector content;
    bool written_here = false;  // stored on this bench, not brought along
  };
  const File* Find(const std::string& name) const;
  void Put(const std::string& name, ByteVector content, bool written_here);
  bool Erase(const std::string& name);
  const std::vector<File>& files() const { return files_; }

 private:
  std::vector<File> files_;
};

inline constexpr char kMainProgramName[] = "Main.sy_";

// What the boot loader needs from the printer around it.
class BootLoaderHost {
 public:
  virtual ~BootLoaderHost() = default;
  // Sends a reply at the boot loader's frame after the reply delay.
  virtual void Reply(const ByteVector& bytes, int64_t t_ns) = 0;
  virtual std::string InfoReport(int64_t t_ns) = 0;
  virtual void OnReportSent(int64_t t_ns) = 0;
  virtual void OnFinishLoad(int64_t t_ns) = 0;
  virtual void Log(SimEventKind kind, std::string detail, int64_t t_ns) = 0;
};

class BootLoaderModel {
 public:
  BootLoaderModel(BootLoaderHost* host, std::shared_ptr<const UnlockKeyTable> key,
                  bool reject_unlock, uint64_t seed);

  void OnByte(uint8_t byte, int64_t t_ns);
  // A restart: the parser starts over and the boot loader is locked.
  void Restart();

  FileStore& files() { return files_; }
  const FileStore& files() const { return files_; }
  bool unlocked() const { return unlocked_; }

 private:
  enum class Parse {
    kIdle, kPrefix, kCommand, kOpenW, kOpenBlank, kOpenName, kDeleteName,
    kLengthLow, kLengthHigh, kData, kResponse,
  };
  void Command(uint8_t letter, int64_t t_ns);
  void NameByte(uint8_t byte, int64_t t_ns);
  void DataByte(uint8_t byte, int64_t t_ns);
  void ResponseByte(uint8_t byte, int64_t t_ns);
  bool RequireUnlocked(const char* what, int64_t t_ns);
  uint8_t NextRandomByte();

  BootLoaderHost* host_;
  std::shared_ptr<const UnlockKeyTable> key_;
  bool reject_unlock_;
  uint64_t random_state_;
  FileStore files_;

  Parse parse_ = Parse::kIdle;
  int64_t last_byte_ns_ = 0;
  bool unlocked_ = false;
  std::array<uint8_t, 4> challenge_{};
  std::array<uint8_t, 4> response_{};
  int response_count_ = 0;
  int64_t response_deadline_ns_ = 0;
  std::string name_;
  bool open_ = false;
  std::string open_name_;
  ByteVector open_content_;
  bool block_accepted_ = false;
  int block_length_ = 0;
  int block_left_ = 0;
};

// SplitMix64: small, seedable, the same on every platform.
uint64_t NextRandom(uint64_t* state);

}  // namespace velloquin::sim
