#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace velloquin {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix";
constexpr char kPortsKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\"
    "Standard TCP/IP Port\\Ports";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> Counting(size_t n, size_t modulo = 256) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i % modulo);
  return data;
}

std::string HexList(const std::vector<uint8_t>& data) {
  std::string out;
  for (uint8_t b : data) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02x,", b);
    out += piece;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// A key as an operator would export it from a station, plus the port
// monitor's key that the network ports are resolved through.
std::string FixtureText() {
  return "REGEDIT4\n"
         "\n"
         "; station settings\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix]\n"
         "\"ReadIntervalTimeout\"=dword:0000012c\n"
         "\"Start\"=\"ABC\"\n"
         "\"End\"=hex:41,42,43\n"
         "\"Pattern1\"=hex(1):41,42,43\n"
         "\"Conversion1\"=\"C:\\\\Temp\\\\\\\"q\\\"\"\n"
         "\"Comm Data\"=hex:" +
         HexList(Counting(26)) + ",\\\n  " + HexList(Counting(26)) +
         "\n"
         "\"Pattern2\"=hex:" +
         HexList(Counting(101)) +
         "\n"
         "\"Pattern3\"=hex:" +
         HexList(Counting(100)) +
         "\n"
         "@=\"default\"\n"
         "\n"
         "[" +
         std::string(kPortsKey) +
         "\\IP_10.0.0.5]\n"
         "\"IPAddress\"=\"10.0.0.5\"\n"
         "\"PortNumber\"=dword:0000238c\n"
         "\n"
         "[" +
         std::string(kPortsKey) +
         "\\Lpt1_10.0.0.7]\n"
         "\"IPAddress\"=\"10.0.0.7\"\n"
         "\"PortNumber\"=dword:00000203\n"
         "\n";
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = ::testing::TempDir() + "settings_store_XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    path_ = dir_ + "/settings.reg";
    store_ = MakeStore();
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0755);
    fs::remove_all(dir_);
  }

  std::unique_ptr<FileSettingsStore> MakeStore() {
    return std::make_unique<FileSettingsStore>(path_, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(log_mutex_);
      log_.push_back(line);
    });
  }

  void WriteFile(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  }
  std::string ReadFile() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::unique_ptr<SettingsKey> Open(KeyAccess access, int* error = nullptr,
                                    const std::string& path = kKey) {
    return store_->OpenKey(path, access, error);
  }

  std::optional<RegValue> Query(SettingsKey& key, const std::string& name, size_t max = 1000) {
    RegValue value;
    if (key.QueryValue(name, max, &value) != kRegOk) return std::nullopt;
    return value;
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_;
  }

  std::string dir_;
  std::string path_;
  std::unique_ptr<FileSettingsStore> store_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

TEST_F(SettingsStoreTest, ReadsEveryValueFormOfAnExportedKeyWithoutCase) {
  WriteFile(FixtureText());
  auto key = Open(KeyAccess::kRead);
  ASSERT_NE(key, nullptr);
  struct Case {
    const char* name;
    RegValue expected;
  } cases[] = {
      {"readintervaltimeout", {ValueType::kDword, {0x2c, 0x01, 0, 0}}},
      {"START", {ValueType::kString, {'A', 'B', 'C', 0}}},
      {"End", {ValueType::kBinary, {'A', 'B', 'C'}}},
      {"Pattern1", {ValueType::kString, {'A', 'B', 'C'}}},
      {"Conversion1", {ValueType::kString, Bytes("C:\\Temp\\\"q\"\0"s)}},
      {"Comm data", {ValueType::kBinary, Counting(52, 26)}},
      {"", {ValueType::kString, Bytes("default\0"s)}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Query(*key, c.name), c.expected) << c.name;
  }
  EXPECT_EQ(Query(*key, "DoExtra"), std::nullopt);
  EXPECT_TRUE(Log().empty());
}

// Values of more than the caller's size are not read, and the caller's
// buffer keeps what it held.
TEST_F(SettingsStoreTest, ValueLargerThanTheLimitIsNotRead) {
  WriteFile(FixtureText());
  auto key = Open(KeyAccess::kRead);
  ASSERT_NE(key, nullptr);
  RegValue value{ValueType::kDword, {9, 9, 9, 9}};
  EXPECT_EQ(key->QueryValue("Pattern2", 100, &value), kRegMoreData);
  EXPECT_EQ(value, (RegValue{ValueType::kDword, {9, 9, 9, 9}}));
  EXPECT_EQ(key->QueryValue("Pattern3", 100, &value), kRegOk);
  EXPECT_EQ(value, (RegValue{ValueType::kBinary, Counting(100)}));
}

TEST_F(SettingsStoreTest, WritesEachTypeSoThatItReadsBackByteForByte) {
  WriteFile(FixtureText());
  struct Case {
    const char* name;
    RegValue value;
    const char* line;  // how the file shows it
  } cases[] = {
      {"DebugMode", {ValueType::kDword, {3, 0, 0, 0}}, "\"DebugMode\"=dword:00000003\n"},
      {"FilePath",
       {ValueType::kString, Bytes("/srv/fw/a \"b\"\\c.bot\0"s)},
       "\"FilePath\"=\"/srv/fw/a \\\"b\\\"\\\\c.bot\"\n"},
      {"Pattern4", {ValueType::kString, {'x', 'y'}}, "\"Pattern4\"=hex(1):78,79\n"},
      {"start", {ValueType::kBinary, {0x1b, 0x00}}, "\"Start\"=hex:1b,00\n"},
      {"TCP", {ValueType::kBinary, Counting(1000)}, "\"TCP\"=hex:00,01,02,"},
  };
  auto key = Open(KeyAccess::kAllAccess);
  ASSERT_NE(key, nullptr);
  for (const Case& c : cases) {
    ASSERT_EQ(key->SetValue(c.name, c.value.type, c.value.data), kRegOk) << c.name;
    EXPECT_EQ(Query(*key, c.name), c.value) << c.name;
  }
  std::string text = ReadFile();
  auto reopened = MakeStore()->OpenKey(kKey, KeyAccess::kRead, nullptr);
  ASSERT_NE(reopened, nullptr);
  for (const Case& c : cases) {
    EXPECT_EQ(Query(*reopened, c.name), c.value) << c.name;
    EXPECT_NE(text.find(c.line), std::string::npos) << c.line;
  }
  // The rest of the file is as it was, comment included.
  EXPECT_EQ(text.rfind("REGEDIT4\n\n; station settings\n", 0), 0u);
  EXPECT_EQ(Query(*reopened, "Pattern1"), (RegValue{ValueType::kString, {'A', 'B', 'C'}}));
  EXPECT_EQ(Query(*reopened, "Comm Data")->data.size(), 52u);
  EXPECT_TRUE(Log().empty());
}

TEST_F(SettingsStoreTest, KeepsTheCrLfLineEndsOfAFileFromWindows) {
  std::string text = FixtureText();
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
    text.insert(at, "\r");
  }
  WriteFile(text);
  auto key = Open(KeyAccess::kAllAccess);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Query(*key, "Start"), (RegValue{ValueType::kString, {'A', 'B', 'C', 0}}));
  EXPECT_EQ(Query(*key, "Comm Data")->data.size(), 52u);
  ASSERT_EQ(key->SetValue("DoExtra", ValueType::kDword, {1, 0, 0, 0}), kRegOk);
  std::string written = ReadFile();
  EXPECT_NE(written.find("\"DoExtra\"=dword:00000001\r\n"), std::string::npos);
  for (size_t at = written.find('\n'); at != std::string::npos; at = written.find('\n', at + 1)) {
    ASSERT_EQ(written[at - 1], '\r') << "bare line feed at " << at;
  }
}

TEST_F(SettingsStoreTest, MissingFileReadsAsEmptyAndCreateMakesFileAndFolders) {
  path_ = dir_ + "/a/b/settings.reg";
  store_ = MakeStore();
  int error = -1;
  EXPECT_EQ(Open(KeyAccess::kRead, &error), nullptr);
  EXPECT_EQ(error, kRegNotFound);
  EXPECT_EQ(Open(KeyAccess::kAllAccess, &error), nullptr);
  EXPECT_EQ(error, kRegNotFound);
  EXPECT_FALSE(fs::exists(dir_ + "/a"));

  auto key = Open(KeyAccess::kCreate, &error);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(error, kRegOk);
  EXPECT_EQ(ReadFile(), "REGEDIT4\n\n[" + std::string(kKey) + "]\n\n");
  EXPECT_EQ(Query(*key, "ReadIntervalTimeout"), std::nullopt);
  ASSERT_EQ(key->SetValue("Comm data", ValueType::kBinary, Counting(52)), kRegOk);
  EXPECT_EQ(Query(*Open(KeyAccess::kRead), "COMM DATA"),
            (RegValue{ValueType::kBinary, Counting(52)}));
  // Creating an existing key opens it; the file is not touched.
  std::string before = ReadFile();
  EXPECT_NE(
      Open(KeyAccess::kCreate, &error, "hkey_local_machine\\software\\quorvane\\iocommzambrix"),
      nullptr);
  EXPECT_EQ(ReadFile(), before);
}

TEST_F(SettingsStoreTest, ResolvesPortMonitorPortsThroughSubkeysInFileOrder) {
  WriteFile(FixtureText());
  EXPECT_NE(Open(KeyAccess::kRead, nullptr, "HKEY_LOCAL_MACHINE\\SYSTEM"),
            nullptr);  // no own section
  auto ports = Open(KeyAccess::kRead, nullptr, kPortsKey);
  ASSERT_NE(ports, nullptr);
  std::vector<std::string> addresses;
  std::string name;
  uint32_t index = 0;
  for (; ports->EnumSubKey(index, &name) == kRegOk; ++index) {
    int error = -1;
    auto port = ports->OpenSubKey(name, KeyAccess::kRead, &error);
    ASSERT_NE(port, nullptr) << name << " " << error;
    auto ip = Query(*port, "IPAddress", 300);
    auto number = Query(*port, "PortNumber", 4);
    ASSERT_TRUE(ip && number);
    addresses.push_back(name + "=" + reinterpret_cast<const char*>(ip->data.data()) + ":" +
                        std::to_string(number->data[0] | number->data[1] << 8));
  }
  EXPECT_EQ(ports->EnumSubKey(index, &name), kRegNoMoreItems);
  EXPECT_EQ(addresses,
            (std::vector<std::string>{"IP_10.0.0.5=10.0.0.5:9100", "Lpt1_10.0.0.7=10.0.0.7:515"}));
  int error = -1;
  EXPECT_EQ(ports->OpenSubKey("IP_10.0.0.9", KeyAccess::kRead, &error), nullptr);
  EXPECT_EQ(error, kRegNotFound);
}

TEST_F(SettingsStoreTest, ReadOnlyKeysAndUnwritableNamesAreRefused) {
  WriteFile(FixtureText());
  std::string before = ReadFile();
  auto read_only = Open(KeyAccess::kRead);
  ASSERT_NE(read_only, nullptr);
  EXPECT_EQ(read_only->SetValue("DebugMode", ValueType::kDword, {1, 0, 0, 0}), kRegAccessDenied);
  auto key = Open(KeyAccess::kAllAccess);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->SetValue("Debug\nMode", ValueType::kDword, {1, 0, 0, 0}), kRegInvalidParameter);
  int error = -1;
  EXPECT_EQ(key->OpenSubKey("a\\\\b", KeyAccess::kCreate, &error), nullptr);
  EXPECT_EQ(error, kRegInvalidParameter);
  EXPECT_EQ(ReadFile(), before);
}

// A key reads its values when it is opened and after its own writes; a
// write by another key shows in keys opened later.
TEST_F(SettingsStoreTest, KeyReadsASnapshotRefreshedByItsOwnWrites) {
  WriteFile(FixtureText());
  auto first = Open(KeyAccess::kAllAccess);
  auto second = MakeStore()->OpenKey(kKey, KeyAccess::kAllAccess, nullptr);
  ASSERT_TRUE(first && second);
  ASSERT_EQ(second->SetValue("DebugMode", ValueType::kDword, {2, 0, 0, 0}), kRegOk);
  EXPECT_EQ(Query(*first, "DebugMode"), std::nullopt);
  ASSERT_EQ(first->SetValue("DoExtra", ValueType::kDword, {1, 0, 0, 0}), kRegOk);
  EXPECT_EQ(Query(*first, "DebugMode"), (RegValue{ValueType::kDword, {2, 0, 0, 0}}));
  EXPECT_EQ(Query(*Open(KeyAccess::kRead), "DoExtra"), (RegValue{ValueType::kDword, {1, 0, 0, 0}}));
}

TEST_F(SettingsStoreTest, SavingThroughASymbolicLinkKeepsTheLink) {
  WriteFile(FixtureText());
  fs::rename(path_, dir_ + "/real.reg");
  fs::create_symlink("real.reg", path_);
  ASSERT_EQ(Open(KeyAccess::kAllAccess)->SetValue("DebugMode", ValueType::kDword, {1, 0, 0, 0}),
            kRegOk);
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_NE(ReadFile().find("\"DebugMode\"=dword:00000001"), std::string::npos);
}

struct CorruptCase {
  const char* label;
  std::string text;
  const char* where;  // what the report names besides the file
};

class SettingsStoreCorruptTest : public SettingsStoreTest,
                                 public ::testing::WithParamInterface<CorruptCase> {};

// A file that cannot be parsed shows no values, is reported once, and is
// never rewritten: not by opening for writing, creating or saving.
TEST_P(SettingsStoreCorruptTest, ShowsNoValuesReportsOnceAndIsNeverRewritten) {
  WriteFile(FixtureText());
  auto writable = Open(KeyAccess::kAllAccess);  // opened while the file was sound
  ASSERT_NE(writable, nullptr);
  WriteFile(GetParam().text);
  const std::string before = ReadFile();

  int error = -1;
  auto key = Open(KeyAccess::kRead, &error);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(error, kRegOk);
  EXPECT_EQ(Query(*key, "ReadIntervalTimeout"), std::nullopt);
  EXPECT_EQ(Query(*key, "Start"), std::nullopt);
  std::string name;
  EXPECT_EQ(key->EnumSubKey(0, &name), kRegNoMoreItems);
  EXPECT_EQ(Open(KeyAccess::kAllAccess, &error), nullptr);
  EXPECT_EQ(error, kRegBadFile);
  EXPECT_EQ(Open(KeyAccess::kCreate, &error, std::string(kKey) + "\\New"), nullptr);
  EXPECT_EQ(error, kRegBadFile);
  EXPECT_EQ(writable->SetValue("DebugMode", ValueType::kDword, {1, 0, 0, 0}), kRegBadFile);
  EXPECT_NE(Open(KeyAccess::kRead), nullptr);

  EXPECT_EQ(ReadFile(), before);
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find(path_), std::string::npos) << log[0];
  EXPECT_NE(log[0].find(GetParam().where), std::string::npos) << log[0];
  EXPECT_EQ(log[0].find('\n'), std::string::npos);
  for (const auto& entry : fs::directory_iterator(dir_)) {  // no temporary file left over
    std::string file = entry.path().filename();
    EXPECT_TRUE(file == "settings.reg" || file == "settings.reg.lock") << file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsStoreCorruptTest,
    ::testing::Values(
        CorruptCase{"TruncatedInAHexList", FixtureText().substr(0, FixtureText().find("  00,01")),
                    "line 10: the hex list goes on past the end"},
        CorruptCase{"CutInAName", FixtureText().substr(0, FixtureText().find("ABC")), "line 6: "},
        CorruptCase{"NoHeader", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "line 1: "},
        CorruptCase{"Garbage", "REGEDIT4\n\x01\x02\xff\n", "line 2: "},
        CorruptCase{"Utf16", "\xff\xfeR\0E\0G\0"s, "UTF-16"},
        CorruptCase{"BadEscape", "REGEDIT4\n[" + std::string(kKey) + "]\n\"FilePath\"=\"C:\\fw\"\n",
                    "line 3: unknown escape"}),
    [](const auto& info) { return info.param.label; });

// A read-only file or folder is never rewritten. The write bits decide, so
// that this holds even for root, whom chmod alone would not stop.
TEST_F(SettingsStoreTest, ReadOnlyFileOrFolderIsNeverRewritten) {
  struct Case {
    const char* label;
    bool folder;
  } cases[] = {{"file", false}, {"folder", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ::chmod(dir_.c_str(), 0755);
    ::chmod(path_.c_str(), 0644);
    WriteFile(FixtureText());
    auto writable = Open(KeyAccess::kAllAccess);
    ASSERT_NE(writable, nullptr);
    ASSERT_EQ(::chmod(c.folder ? dir_.c_str() : path_.c_str(), c.folder ? 0555 : 0444), 0);
    const std::string before = ReadFile();

    int error = -1;
    EXPECT_EQ(Open(KeyAccess::kAllAccess, &error), nullptr);
    EXPECT_EQ(error, kRegAccessDenied);
    EXPECT_EQ(Open(KeyAccess::kCreate, &error), nullptr);
    EXPECT_EQ(error, kRegAccessDenied);
    EXPECT_EQ(Open(KeyAccess::kCreate, &error, std::string(kKey) + "\\Ports"), nullptr);
    EXPECT_EQ(error, kRegAccessDenied);
    EXPECT_EQ(writable->SetValue("DebugMode", ValueType::kDword, {1, 0, 0, 0}), kRegAccessDenied);
    auto key = Open(KeyAccess::kRead, &error);  // the channel's fallback
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(Query(*key, "End"), (RegValue{ValueType::kBinary, {'A', 'B', 'C'}}));
    EXPECT_EQ(ReadFile(), before);
    EXPECT_FALSE(fs::exists(path_ + ".lock"));
  }
}

constexpr int kWriters = 4;
constexpr int kValuesPerWriter = 12;

// Each writer opens its own store and key, as a second running station would.
bool SaveDistinctValues(const std::string& path, int writer) {
  FileSettingsStore store(path, {});
  auto key = store.OpenKey(kKey, KeyAccess::kCreate, nullptr);
  if (!key) return false;
  for (int i = 0; i < kValuesPerWriter; ++i) {
    std::string name = "W" + std::to_string(writer) + "_" + std::to_string(i);
    if (key->SetValue(name, ValueType::kDword,
                      {static_cast<uint8_t>(writer), static_cast<uint8_t>(i), 0, 0}) != kRegOk) {
      return false;
    }
  }
  return true;
}

void ExpectEveryValueSaved(SettingsKey& key) {
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValuesPerWriter; ++i) {
      RegValue value;
      std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
      ASSERT_EQ(key.QueryValue(name, 4, &value), kRegOk) << name;
      EXPECT_EQ(value.data,
                (std::vector<uint8_t>{static_cast<uint8_t>(w), static_cast<uint8_t>(i), 0, 0}));
    }
  }
}

TEST_F(SettingsStoreTest, ProcessesSavingAtOnceKeepEveryValue) {
  WriteFile(FixtureText());
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(SaveDistinctValues(path_, w) ? 0 : 1);
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto key = Open(KeyAccess::kRead);
  ASSERT_NE(key, nullptr);
  ExpectEveryValueSaved(*key);
  EXPECT_EQ(Query(*key, "Start"), (RegValue{ValueType::kString, {'A', 'B', 'C', 0}}));
}

TEST_F(SettingsStoreTest, ThreadsSavingAtOnceKeepEveryValueAndReadersNeverSeeAPart) {
  WriteFile(FixtureText());
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    while (writing) {
      auto key = store_->OpenKey(kKey, KeyAccess::kRead, nullptr);
      RegValue value;
      if (!key || key->QueryValue("Start", 100, &value) != kRegOk) ++failures;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      if (!SaveDistinctValues(path_, w)) ++failures;
    });
  }
  for (auto& t : writers) t.join();
  writing = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(Log().empty());
  auto key = Open(KeyAccess::kRead);
  ASSERT_NE(key, nullptr);
  ExpectEveryValueSaved(*key);
}

TEST(SettingsStorePath, ComesFromTheEnvironment) {
  struct Case {
    const char* registry;
    const char* xdg;
    const char* home;
    const char* expected;
  } cases[] = {
      {"/tmp/t/settings.reg", "/x", "/h", "/tmp/t/settings.reg"},
      {"", "/x", "/h", "/x/velloquin/settings.reg"},
      {nullptr, "/x", "/h", "/x/velloquin/settings.reg"},
      {nullptr, "relative", "/h", "/h/.config/velloquin/settings.reg"},
      {nullptr, nullptr, "/h", "/h/.config/velloquin/settings.reg"},
  };
  const char* names[] = {"VELLOQUIN_REGISTRY", "XDG_CONFIG_HOME", "HOME"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* v = std::getenv(names[i])) saved[i] = v;
  }
  for (const Case& c : cases) {
    const char* values[] = {c.registry, c.xdg, c.home};
    for (int i = 0; i < 3; ++i) {
      values[i] ? ::setenv(names[i], values[i], 1) : ::unsetenv(names[i]);
    }
    EXPECT_EQ(FileSettingsStore::DefaultPath(), c.expected);
  }
  for (int i = 0; i < 3; ++i) {
    saved[i] ? ::setenv(names[i], saved[i]->c_str(), 1) : ::unsetenv(names[i]);
  }
}

}  // namespace
}  // namespace velloquin
