#include "app/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace velloquin {
namespace {

namespace fs = std::filesystem;

// Wednesday, 7 March, 09:05:03.
std::tm FixedTime() {
  std::tm t{};
  t.tm_year = 2018 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 7;
  t.tm_wday = 3;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  return t;
}

bool FixedClock(std::tm* out) {
  *out = FixedTime();
  return true;
}

constexpr char kStamp[] = "Wednesday, March 07, 09:05:03";

std::string Entry(const std::string& text_with_crlf) {
  return std::string("\r\n") + kStamp + "\r\nMessage: \r\n" + text_with_crlf + "\r\n\r\n";
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = ::testing::TempDir() + "activity_log_XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    path_ = dir_ + "/Zambrix.log";
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0755);
    fs::remove_all(dir_);
  }
  std::string ReadLog() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(ActivityLogTest, FirstEntryCreatesTheFileWithFiveCrLfLines) {
  ActivityLog log(dir_, FixedClock);
  log.LogMessage("IOComm::Open() failed, GetLastError() returned:2");
  EXPECT_EQ(ReadLog(),
            "\r\nWednesday, March 07, 09:05:03\r\nMessage: \r\n"
            "IOComm::Open() failed, GetLastError() returned:2\r\n\r\n");
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & (S_IRUSR | S_IWUSR), S_IRUSR | S_IWUSR);

  log.LogMessage("second");
  EXPECT_EQ(ReadLog(), Entry("IOComm::Open() failed, GetLastError() returned:2") + Entry("second"));
}

TEST_F(ActivityLogTest, EmbeddedLineFeedsBecomeCrLfAndTheEntryGrowsALine) {
  ActivityLog log(dir_, FixedClock);
  log.LogMessage("first part\nsecond part");
  EXPECT_EQ(ReadLog(), Entry("first part\r\nsecond part"));
}

TEST_F(ActivityLogTest, TimeThatCannotBeHadLeavesTheSecondLineEmpty) {
  ActivityLog log(dir_, [](std::tm*) { return false; });
  log.LogMessage("x");
  EXPECT_EQ(ReadLog(), "\r\n\r\nMessage: \r\nx\r\n\r\n");
}

TEST(ActivityLogTime, UsesEnglishNamesAndTwoDigitFields) {
  struct Case {
    int wday, mon, mday, hour, min, sec;
    const char* expected;
  } cases[] = {
      {3, 2, 7, 9, 5, 3, "Wednesday, March 07, 09:05:03"},
      {0, 0, 1, 0, 0, 0, "Sunday, January 01, 00:00:00"},
      {6, 11, 31, 23, 59, 59, "Saturday, December 31, 23:59:59"},
      {1, 8, 10, 12, 30, 60, "Monday, September 10, 12:30:60"},  // leap second
      {7, 2, 7, 9, 5, 3, ""},                                    // no such weekday
      {3, 12, 7, 9, 5, 3, ""},                                   // no such month
      {3, 2, 0, 9, 5, 3, ""},
      {3, 2, 7, 24, 5, 3, ""},
  };
  for (const Case& c : cases) {
    std::tm t{};
    t.tm_wday = c.wday;
    t.tm_mon = c.mon;
    t.tm_mday = c.mday;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    EXPECT_EQ(FormatLogTime(t), c.expected);
  }
}

// The limit is looked at after the entry: a file that ends at exactly the
// limit stays; one byte more and the whole log (the entry too) is emptied,
// and the next entry starts a new log.
TEST_F(ActivityLogTest, EmptiesTheLogOnlyWhenAnEntryTakesItPastTheLimit) {
  ActivityLog log(dir_, FixedClock);
  const std::string entry = Entry("limit");
  for (long extra : {0L, 1L}) {
    SCOPED_TRACE(extra);
    std::string filler(kActivityLogLimit - entry.size() + extra, 'x');
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << filler;
    log.LogMessage("limit");
    EXPECT_EQ(fs::file_size(path_), extra == 0 ? static_cast<uintmax_t>(kActivityLogLimit) : 0u);
  }
  log.LogMessage("after");
  EXPECT_EQ(ReadLog(), Entry("after"));
}

TEST_F(ActivityLogTest, ConcurrentEntriesStayWhole) {
  ActivityLog log(dir_, FixedClock);
  constexpr int kThreads = 6;
  constexpr int kEntries = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kEntries; ++i) {
        log.LogMessage("row " + std::to_string(t) + " failure " + std::to_string(i) +
                       "\nsecond line");
      }
    });
  }
  for (auto& t : threads) t.join();

  const std::string text = ReadLog();
  const std::string head = std::string("\r\n") + kStamp + "\r\nMessage: \r\n";
  std::set<std::string> seen;
  size_t at = 0;
  while (at < text.size()) {
    ASSERT_EQ(text.compare(at, head.size(), head), 0) << "entry broken at " << at;
    at += head.size();
    size_t end = text.find("\r\n\r\n", at);
    ASSERT_NE(end, std::string::npos);
    std::string message = text.substr(at, end - at);
    ASSERT_EQ(message.rfind("\r\nsecond line"), message.size() - 13) << message;
    EXPECT_TRUE(seen.insert(message).second) << message;
    at = end + 4;
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST_F(ActivityLogTest, UnwritableFolderLosesTheEntryAndGoesOn) {
  // A folder that is not one fails for every user, root included.
  std::ofstream(dir_ + "/plain_file") << "x";
  ActivityLog(dir_ + "/plain_file", FixedClock).LogMessage("lost");
  ActivityLog(dir_ + "/missing/folder", FixedClock).LogMessage("lost");
  EXPECT_FALSE(fs::exists(dir_ + "/missing"));

  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
  ActivityLog(dir_, FixedClock).LogMessage("lost");
  if (::geteuid() != 0) {  // root writes into a read-only folder regardless
    EXPECT_FALSE(fs::exists(path_));
  }
}

TEST_F(ActivityLogTest, ProcessWideLogWritesIntoTheWorkingDirectory) {
  fs::path previous = fs::current_path();
  fs::current_path(dir_);
  LogMessage("from the station");
  ActivityLog::Instance().LogMessage("again");
  fs::current_path(previous);
  const std::string text = ReadLog();
  EXPECT_NE(text.find("\r\nMessage: \r\nfrom the station\r\n\r\n\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nMessage: \r\nagain\r\n\r\n"), std::string::npos);
}

}  // namespace
}  // namespace velloquin
