#include "app/file_selection.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <cstdlib>
#include <filesystem>

#include "app/qt_text.h"
#include "bootloader/temp_dir.h"
#include "bootloader/worker_operations.h"
#include "platform/settings_store.h"
#include "window_fixture.h"

namespace velloquin {
namespace {

using testing_support::kChannelKey;
using testing_support::StoredText;
using testing_support::TempDir;
using testing_support::WindowFixture;

QLineEdit* FirmwareBox(ProgrammerDialog& dialog) {
  return static_cast<QLineEdit*>(dialog.Control(1042));
}

struct BrowseTest : ::testing::Test {
  TempDir dir;
  WindowFixture fixture;
};

TEST_F(BrowseTest, FindsTheVerificationFileAndSavesBothPaths) {
  std::string firmware = dir.Write("main.bot", "image");
  std::string verify = dir.Write("main.ver", "sums");
  ProgrammerDialog& dialog = fixture.Make(4);
  fixture.dialogs.answers.push_back(ToQt(firmware));
  dialog.OnBrowse();
  ASSERT_EQ(fixture.dialogs.filters.size(), 1u);
  EXPECT_EQ(fixture.dialogs.filters[0], QString("Boot files    (*.bot;*.cbt)"));
  EXPECT_EQ(dialog.GetFirmwarePath(), firmware);
  EXPECT_EQ(FirmwareBox(dialog)->cursorPosition(), FirmwareBox(dialog)->text().size())
      << "the caret stands after the path's last character";
  EXPECT_EQ(dialog.GetVerifyFileText(), verify);
  EXPECT_TRUE(fixture.dialogs.messages.empty());
  // Saved as texts of their own length, without a terminating zero.
  EXPECT_EQ(StoredText(fixture.store, "FilePath"), firmware);
  EXPECT_EQ(StoredText(fixture.store, "VerFilePath"), verify);
  RegValue value;
  ASSERT_TRUE(fixture.store.Get(kChannelKey, "FilePath", &value));
  EXPECT_EQ(value.type, ValueType::kString);
}

TEST_F(BrowseTest, WithoutVerificationFileTellsOnceAndSkipsVerification) {
  std::string firmware = dir.Write("main.cbt", "image");
  ProgrammerDialog& dialog = fixture.Make(4);
  fixture.dialogs.answers.push_back(ToQt(firmware));
  dialog.OnBrowse();
  ASSERT_EQ(fixture.dialogs.messages.size(), 1u);
  EXPECT_EQ(fixture.dialogs.messages[0].text, QString(NoVerificationMessage));
  EXPECT_EQ(fixture.dialogs.messages[0].caption, QCoreApplication::applicationName());
  EXPECT_EQ(dialog.GetVerifyFileText(), NoVerificationMessage);
  EXPECT_EQ(StoredText(fixture.store, "VerFilePath"), NoVerificationMessage);
  // The next start shows the same again.
  ProgrammerDialog& next = fixture.Make(4);
  EXPECT_EQ(next.GetFirmwarePath(), firmware);
  EXPECT_EQ(next.GetVerifyFileText(), NoVerificationMessage);
}

TEST_F(BrowseTest, DerivesTheVerificationNameFromTheLastDot) {
  struct Case {
    const char* chosen;
    const char* verify;
  };
  for (Case c : {Case{"main.bot.bak", "main.bot.ver"}, Case{"noext", "noext.ver"},
                 Case{"with.dot/file", "with.ver"}}) {
    std::filesystem::create_directories(dir.File("with.dot"));
    std::string verify = dir.Write(c.verify, "sums");
    ProgrammerDialog& dialog = fixture.Make(4);
    fixture.dialogs.answers.push_back(ToQt(dir.File(c.chosen)));
    dialog.OnBrowse();
    EXPECT_EQ(dialog.GetVerifyFileText(), verify) << c.chosen;
  }
  EXPECT_TRUE(fixture.dialogs.messages.empty());
}

TEST_F(BrowseTest, CancelChangesNothing) {
  fixture.store.SetText(kChannelKey, "FilePath", "/old/fw.bot");
  fixture.store.SetText(kChannelKey, "VerFilePath", "/old/fw.ver");
  ProgrammerDialog& dialog = fixture.Make(4);
  int writes_before = fixture.store.writes;
  dialog.OnBrowse();  // no answer queued: cancelled
  EXPECT_EQ(dialog.GetFirmwarePath(), "/old/fw.bot");
  EXPECT_EQ(dialog.GetVerifyFileText(), "/old/fw.ver");
  EXPECT_EQ(fixture.store.writes, writes_before);
  EXPECT_TRUE(fixture.dialogs.messages.empty());
}

TEST_F(BrowseTest, WorkingDirectoryIsRestored) {
  std::string before = std::filesystem::current_path().string();
  std::string firmware = dir.Write("main.bot", "image");
  ProgrammerDialog& dialog = fixture.Make(4);
  // The file dialog wanders off to the firmware's folder, as desktops do.
  fixture.dialogs.during_choice = [&] { std::filesystem::current_path(dir.Path()); };
  fixture.dialogs.answers.push_back(ToQt(firmware));
  dialog.OnBrowse();
  EXPECT_EQ(std::filesystem::current_path().string(), before);
  dialog.OnBrowse();  // cancelled
  EXPECT_EQ(std::filesystem::current_path().string(), before);
}

// The saved values go through the settings file named by VELLOQUIN_REGISTRY
// and come back at the next start.
TEST_F(BrowseTest, SavedPathsComeBackFromTheSettingsFile) {
  std::string registry = dir.File("settings.reg");
  ASSERT_EQ(setenv("VELLOQUIN_REGISTRY", registry.c_str(), 1), 0);
  std::string firmware = dir.Write("Fïrmwäre 2.bot", "image");  // blanks and non-ASCII
  std::string verify = dir.Write("Fïrmwäre 2.ver", "sums");
  {
    FileSettingsStore store(FileSettingsStore::DefaultPath(), {});
    ProgrammerDialog& dialog = fixture.Make(4, &store);
    EXPECT_EQ(dialog.GetFirmwarePath(), "") << "a first start shows nothing";
    EXPECT_EQ(dialog.GetVerifyFileText(), "");
    fixture.dialogs.answers.push_back(ToQt(firmware));
    dialog.OnBrowse();
    fixture.dialog.reset();
  }
  FileSettingsStore store(FileSettingsStore::DefaultPath(), {});
  ProgrammerDialog& dialog = fixture.Make(4, &store);
  EXPECT_EQ(dialog.GetFirmwarePath(), firmware);
  EXPECT_EQ(dialog.GetVerifyFileText(), verify);
  fixture.dialog.reset();
  unsetenv("VELLOQUIN_REGISTRY");
}

TEST_F(BrowseTest, ReadOnlyStoreShowsTheChoiceButKeepsTheOldValues) {
  fixture.store.SetText(kChannelKey, "FilePath", "/old/fw.bot");
  fixture.store.read_only = true;
  std::string firmware = dir.Write("new.bot", "image");
  const std::string stored_before = StoredText(fixture.store, "FilePath");
  ProgrammerDialog& dialog = fixture.Make(4);
  EXPECT_EQ(dialog.GetFirmwarePath(), "/old/fw.bot") << "read-only is still readable";
  fixture.dialogs.answers.push_back(ToQt(firmware));
  dialog.OnBrowse();
  EXPECT_EQ(dialog.GetFirmwarePath(), firmware);
  EXPECT_EQ(StoredText(fixture.store, "FilePath"), stored_before);
  EXPECT_EQ(fixture.store.writes, 0);
}

TEST(SavedPaths, NoSettingsStoreAtAllIsNoProblem) {
  VirtualClock clock;
  ChannelEnv env;
  env.clock = &clock;
  EXPECT_FALSE(SaveChosenPaths(env, {"/fw/main.bot", "/fw/main.ver"}));
  SavedPaths loaded = LoadSavedPaths(env);
  EXPECT_EQ(loaded.firmware, "");
  EXPECT_EQ(loaded.verify, "");
}

// What start-up shows for saved values of awkward lengths and bytes.
TEST(SavedPaths, LongAndOddValues) {
  struct Case {
    std::string stored;
    std::string shown;
  };
  const std::string long998(998, 'a');
  const std::string long999(999, 'b');
  const std::string utf8 = "/home/op/Fïrmwäre/ü.bot";
  std::vector<Case> cases = {
      {long998, long998},                       // fits the buffer with its end
      {long999, ""},                            // would be cut: not shown
      {std::string(5000, 'c'), ""},             // too long to read at all
      {std::string("/fw/a.bot\0junk", 14), "/fw/a.bot"},  // stored with its zero
      {utf8, utf8},
      {"", ""},
  };
  for (const Case& c : cases) {
    WindowFixture fixture;
    fixture.store.SetText(kChannelKey, "FilePath", c.stored);
    fixture.store.SetText(kChannelKey, "VerFilePath", c.stored);
    ProgrammerDialog& dialog = fixture.Make(4);
    EXPECT_EQ(dialog.GetFirmwarePath(), c.shown) << c.stored.size();
    EXPECT_EQ(dialog.GetVerifyFileText(), c.shown) << c.stored.size();
  }
}

TEST(SavedPaths, BytesThatAreNotTextAreShownWithoutHarm) {
  WindowFixture fixture;
  fixture.store.SetText(kChannelKey, "FilePath", "/fw/caf\xe9\xff\x01.bot");
  ProgrammerDialog& dialog = fixture.Make(4);
  std::string shown = dialog.GetFirmwarePath();
  EXPECT_EQ(shown.rfind("/fw/caf", 0), 0u);
  EXPECT_NE(shown.find(".bot"), std::string::npos);
}

TEST(SavedPaths, TypedPathIsUsedButNotSaved) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  FirmwareBox(dialog)->setText("/no/such/firmware.bot");
  EXPECT_EQ(dialog.GetFirmwarePath(), "/no/such/firmware.bot");
  EXPECT_EQ(fixture.store.writes, 0);
  EXPECT_EQ(fixture.Make(4).GetFirmwarePath(), "") << "gone at the next start";
}

TEST(BootFileNames, MatchTheFilterPatterns) {
  EXPECT_TRUE(IsBootFileName("main.bot"));
  EXPECT_TRUE(IsBootFileName("MAIN.CBT"));
  EXPECT_TRUE(IsBootFileName("a.b.cbt"));
  EXPECT_FALSE(IsBootFileName("main.ver"));
  EXPECT_FALSE(IsBootFileName("main.bot.bak"));
  EXPECT_FALSE(IsBootFileName("bot"));
}

}  // namespace
}  // namespace velloquin
