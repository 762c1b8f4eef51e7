#include "bootloader/verification_file.h"

#include <gtest/gtest.h>

#include <climits>

#include "bootloader/temp_dir.h"
#include "bootloader/verify.h"

namespace velloquin {
namespace {

using testing_support::TempDir;

// The number rule, one table: the text and where the number starts.
TEST(ParseSum, NumberRule) {
  struct Case {
    const char* name;
    std::string text;
    size_t start;
    int32_t value;
  } cases[] = {
      {"plain hex", "1a2b", 0, 0x1A2B},
      {"upper-case digits", "1A2B", 0, 0x1A2B},
      {"leading zeros", "00001A2B", 0, 0x1A2B},
      {"0x prefix", "0x1a2b", 0, 0x1A2B},
      {"0X prefix", "0X1A2B", 0, 0x1A2B},
      {"white space skipped", " \t\n\v\f\r1a2b", 0, 0x1A2B},
      {"plus sign", "+1a2b", 0, 0x1A2B},
      {"minus sign", "-1a2b", 0, -0x1A2B},
      {"sign then 0x", "-0x10", 0, -0x10},
      {"stops at the first other character", "12g4", 0, 0x12},
      {"equals sign stops at once", "= 1a2b", 0, 0},
      {"no digits", "zz", 0, 0},
      {"0x without digits", "0xg", 0, 0},
      {"empty from the start", "", 0, 0},
      {"start at the end", "abc", 3, 0},
      {"start beyond the end", "abc", 7, 0},
      {"start mid-text", "key:ff", 4, 0xFF},
      {"largest positive", "7fffffff", 0, INT32_MAX},
      {"80000000 saturates", "80000000", 0, INT32_MAX},
      {"ffffffff saturates", "ffffffff", 0, INT32_MAX},
      {"very long saturates", "123456789abcdef0123", 0, INT32_MAX},
      {"minus 80000000", "-80000000", 0, INT32_MIN},
      {"minus above 80000000", "-80000001", 0, INT32_MIN},
      {"minus very long", "-fffffffffffffffff", 0, INT32_MIN},
      {"minus 7fffffff", "-7fffffff", 0, -INT32_MAX},
      {"sign alone", "-", 0, 0},
      {"space between sign and digits", "- 5", 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseSum(c.text, c.start), c.value) << c.name;
  }
}

TEST(VerificationText, TextModeRules) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"CR before LF dropped", "a\r\nb\r\n", "a\nb\n"},
      {"lone CR kept", "a\rb\r", "a\rb\r"},
      {"CR CR LF keeps one CR", "a\r\r\nb", "a\r\nb"},
      {"1A ends the text", "abc\x1a" "def", "abc"},
      {"NUL is an ordinary character", std::string("a\0b", 3), std::string("a\0b", 3)},
      {"cut at 1500 characters", std::string(1600, 'x'), std::string(1500, 'x')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VerificationTextFromBytes(c.bytes), c.text) << c.name;
  }
  // 1500 characters counted after the carriage returns are dropped.
  std::string crlf;
  for (int i = 0; i < 1000; ++i) crlf += "\r\n";
  EXPECT_EQ(VerificationTextFromBytes(crlf), std::string(1000, '\n'));
  for (int i = 0; i < 1000; ++i) crlf += "\r\n";
  EXPECT_EQ(VerificationTextFromBytes(crlf), std::string(1500, '\n'));
}

TEST(VerificationText, ReadsOnlyTheStartOfLargeFilesAndFailsOnUnreadableOnes) {
  TempDir dir;
  std::string big(5'000'000, 'y');
  for (size_t i = 0; i < 1499; ++i) big[i] = i % 2 ? '\n' : '\r';  // CR LF pairs
  std::string text = "stale";
  ASSERT_TRUE(ReadVerificationText(dir.Write("big.ver", big), &text));
  EXPECT_EQ(text.size(), 1500u);
  EXPECT_EQ(text.substr(0, 749), std::string(749, '\n'));

  EXPECT_FALSE(ReadVerificationText(dir.File("missing.ver"), &text));
  EXPECT_TRUE(text.empty());
  EXPECT_FALSE(ReadVerificationText(dir.Path(), &text));  // a folder opens but cannot be read
}

// The comparison of the two texts, one table. The info text side is as the
// boot loader's reply leaves it after normalisation (lower case).
TEST(SumsAgree, KeysAndNumbers) {
  const std::string info =
      "boot v1 main.sy_ system crc:1a2b control crc sum:00ff data crc sum:ffffffff "
      "total crc sum:-80000001";
  struct Case {
    const char* name;
    std::string verification;
    bool agree;
  } cases[] = {
      {"same sums, any case, any layout",
       "System CRC: 1A2B\nControl CRC Sum: 0xFF\nDATA CRC SUM=80000000\nTotal CRC Sum: -0x80000000",
       true},
      {"one sum differs", "system crc:1a2c control crc sum:ff data crc sum:ffffffff total crc sum:-80000000",
       false},
      {"a key missing", "system crc:1a2b control crc sum:ff data crc sum:ffffffff", false},
      {"blank and equals sign give 0 on that side",
       "system crc =1a2b control crc sum:ff data crc sum:ffffffff total crc sum:-80000000", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SumsAgree(info, LowerAscii(c.verification)), c.agree) << c.name;
  }
  EXPECT_FALSE(SumsAgree("", "system crc:0 control crc sum:0 data crc sum:0 total crc sum:0"));
  // Numbers missing on both sides are 0 on both sides.
  EXPECT_TRUE(SumsAgree("system crc = control crc sum = data crc sum = total crc sum =",
                        "system crc ; control crc sum ; data crc sum ; total crc sum ;"));
}

TEST(VerifyFirmware, ComparesTheSlotsInfoTextWithTheFile) {
  TempDir dir;
  std::string info = "main.sy system crc:1a2b control crc sum:2 data crc sum:3 total crc sum:4";
  PortSlot slot;
  slot.InfoText = &info;
  const std::string matching = "System CRC: 1A2B\r\ncontrol crc sum 2\r\ndata crc sum 3\r\n"
                               "total crc sum 0x4\r\n";
  std::string error = "untouched";
  EXPECT_TRUE(VerifyFirmware(&slot, dir.Write("good.ver", matching), &error));
  EXPECT_EQ(error, "untouched");

  std::string late = std::string(1500, ' ') + matching;
  struct Case {
    const char* name;
    std::string path;
  } failures[] = {
      {"missing file", dir.File("missing.ver")},
      {"keys only after 1500 characters", dir.Write("late.ver", late)},
      {"sums differ", dir.Write("bad.ver", "system crc:1a2c control crc sum:2 data crc sum:3 "
                                           "total crc sum:4")},
  };
  for (const Case& c : failures) {
    error = "untouched";
    EXPECT_FALSE(VerifyFirmware(&slot, c.path, &error)) << c.name;
    EXPECT_EQ(error, " Verify Failed ") << c.name;
  }
  info.clear();  // the info query failed
  error.clear();
  EXPECT_FALSE(VerifyFirmware(&slot, dir.File("good.ver"), &error));
  EXPECT_EQ(error, " Verify Failed ");
}

}  // namespace
}  // namespace velloquin
