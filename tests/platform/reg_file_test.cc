#include "platform/reg_file.h"

#include <gtest/gtest.h>

#include <sstream>

namespace velloquin {
namespace {

using namespace std::string_literals;

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix";

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

const RegValue* Find(const RegDocument& doc, std::string_view path, std::string_view name) {
  const RegSection* section = RegFindSection(doc, path);
  if (!section) return nullptr;
  for (const RegItem& item : section->items) {
    if (item.is_value && RegNamesEqual(item.name, name)) return &item.value;
  }
  return nullptr;
}

struct ValueCase {
  const char* line;  // one value line (or several, for a continued hex list)
  ValueType type;
  std::vector<uint8_t> data;
};

class RegFileValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RegFileValueTest, ParsesAndWritesBackTheSameValue) {
  const ValueCase& c = GetParam();
  std::string text = std::string("REGEDIT4\n\n[") + kKey + "]\n" + c.line + "\n";
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
  ASSERT_EQ(parsed.document.sections.size(), 1u);
  const RegItem& item = parsed.document.sections[0].items.at(0);
  ASSERT_TRUE(item.is_value);
  EXPECT_EQ(item.value, (RegValue{c.type, c.data}));

  RegParseResult again = ParseRegFile(FormatRegFile(parsed.document));
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_EQ(again.document, parsed.document);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RegFileValueTest,
    ::testing::Values(
        ValueCase{"\"Start\"=\"ABC\"", ValueType::kString, {'A', 'B', 'C', 0}},
        ValueCase{"\"Empty\"=\"\"", ValueType::kString, {0}},
        ValueCase{R"("Path"="C:\\Temp\\\"x\"")", ValueType::kString, Bytes("C:\\Temp\\\"x\"\0"s)},
        ValueCase{"\"Start\"=hex:41,42,43", ValueType::kBinary, {0x41, 0x42, 0x43}},
        ValueCase{"\"Start\"=hex(1):41,42,43", ValueType::kString, {0x41, 0x42, 0x43}},
        ValueCase{"\"Twice\"=hex(1):41,00,42,00", ValueType::kString, {0x41, 0, 0x42, 0}},
        ValueCase{"\"None\"=hex:", ValueType::kBinary, {}},
        ValueCase{"\"Multi\"=hex(7):41,00,00", ValueType::kMultiString, {0x41, 0, 0}},
        ValueCase{"\"Qword\"=hex(b):01,02,03,04,05,06,07,08",
                  static_cast<ValueType>(11),
                  {1, 2, 3, 4, 5, 6, 7, 8}},
        ValueCase{"\"ReadIntervalTimeout\"=dword:0000012c", ValueType::kDword, {0x2c, 0x01, 0, 0}},
        ValueCase{"\"Big\"=DWORD:FFFFFFFE", ValueType::kDword, {0xfe, 0xff, 0xff, 0xff}},
        ValueCase{"\"Short\"=dword:7", ValueType::kDword, {7, 0, 0, 0}},
        ValueCase{"\"Odd\"=hex(4):01,02", ValueType::kDword, {1, 2}},
        ValueCase{"@=\"default\"", ValueType::kString, Bytes("default\0"s)},
        ValueCase{"\"Tab\"=\"a\tb\"", ValueType::kString, Bytes("a\tb\0"s)},
        ValueCase{"\"Spaced\" = hex: 41 , 4 ,ff  ", ValueType::kBinary, {0x41, 0x04, 0xff}},
        ValueCase{
            "\"Comm Data\"=hex:01,02,\\\n  03,04,\\\n  05", ValueType::kBinary, {1, 2, 3, 4, 5}}));

struct BadCase {
  const char* text;
  int line;
  const char* what;  // a part of the error text
};

class RegFileErrorTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(RegFileErrorTest, NamesTheLineAndTheProblem) {
  const BadCase& c = GetParam();
  RegParseResult parsed = ParseRegFile(c.text);
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.line, c.line);
  EXPECT_NE(parsed.error.find(c.what), std::string::npos) << parsed.error;
  EXPECT_TRUE(parsed.document.sections.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Corrupt, RegFileErrorTest,
    ::testing::Values(BadCase{"REGEDIT5\n", 1, "first line"},
                      BadCase{"\xFF\xFER\0E\0", 1, "UTF-16"},
                      BadCase{"REGEDIT4\n\"A\"=dword:1\n", 2, "before the first"},
                      BadCase{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", 2, "closing ]"},
                      BadCase{"REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\A]\n", 2, "empty part"},
                      BadCase{"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n", 2, "deleting a key"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=-\n", 3, "deleting a value"},
                      BadCase{"REGEDIT4\n[A]\n\"A=dword:1\n", 3, "closing quote"},
                      BadCase{"REGEDIT4\n[A]\n\"A\" dword:1\n", 3, "expected ="},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=\"C:\\Temp\"\n", 3, "unknown escape \\T"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=\"x\" y\n", 3, "after the quoted text"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=dword:123456789\n", 3, "1 to 8 hex digits"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=dword:\n", 3, "1 to 8 hex digits"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=hex:41,,42\n", 3, "hex list"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=hex:141\n", 3, "hex list"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=hex(z):41\n", 3, "hex(N)"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=hex;41\n", 3, "expected :"},
                      BadCase{"REGEDIT4\n[A]\n\n\"A\"=hex:41,\\\n  42,\\\n", 4, "past the end"},
                      BadCase{"REGEDIT4\n[A]\n\"A\"=word:1\n", 3, "unknown value form"},
                      BadCase{"REGEDIT4\n[A]\nA=1\n", 3, "neither"}));

TEST(RegFile, EmptyTextIsAnEmptyDocument) {
  for (const char* text : {"", "  \n\r\n", "\xEF\xBB\xBF"}) {
    RegParseResult parsed = ParseRegFile(text);
    EXPECT_TRUE(parsed.ok) << text;
    EXPECT_EQ(parsed.document, RegDocument{});
  }
}

// An exported file with comments, a repeated section and a repeated value
// name: the later value wins, sections merge, notes stay where they were.
TEST(RegFile, KeepsCommentsAndLineEndsThroughARewrite) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "; exported from station 4\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix]\r\n"
      "\"DebugMode\"=dword:00000000\r\n"
      "; slower printers\r\n"
      "\"ReadIntervalTimeout\"=dword:000001f4\r\n"
      "\r\n";
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.document.crlf);
  EXPECT_EQ(FormatRegFile(parsed.document), text);

  RegParseResult merged = ParseRegFile(text +
                                       "[hkey_local_machine\\software\\quorvane\\iocommzambrix]\r\n"
                                       "\"debugmode\"=dword:00000003\r\n");
  ASSERT_TRUE(merged.ok) << merged.error;
  ASSERT_EQ(merged.document.sections.size(), 1u);
  EXPECT_EQ(*Find(merged.document, kKey, "DebugMode"), (RegValue{ValueType::kDword, {3, 0, 0, 0}}));
  EXPECT_EQ(merged.document.sections[0].items[0].name, "DebugMode");  // first spelling kept
}

TEST(RegFile, WrapsLongHexListsAndReadsThemBack) {
  RegDocument doc;
  RegValue tcp{ValueType::kBinary, std::vector<uint8_t>(1000, 0)};
  for (size_t i = 0; i < tcp.data.size(); ++i) tcp.data[i] = static_cast<uint8_t>(i * 7);
  RegSetValue(&RegEnsureSection(&doc, kKey), "TCP", tcp);
  std::string text = FormatRegFile(doc);

  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 80u) << line;
    ++count;
  }
  EXPECT_GT(count, 40);
  RegParseResult parsed = ParseRegFile(text);
  ASSERT_TRUE(parsed.ok) << parsed.line << ": " << parsed.error;
  EXPECT_EQ(*Find(parsed.document, kKey, "tcp"), tcp);
}

TEST(RegFile, WritesTextAsTextOnlyWhenItHasExactlyOneTerminatingZero) {
  struct Case {
    std::vector<uint8_t> data;
    const char* line;
  } cases[] = {
      {{'A', 'B', 'C', 0}, "\"V\"=\"ABC\""},   {{'A', 'B', 'C'}, "\"V\"=hex(1):41,42,43"},
      {{'A', 0, 0}, "\"V\"=hex(1):41,00,00"},  {{'A', '\n', 'B', 0}, "\"V\"=hex(1):41,0a,42,00"},
      {{'a', '"', '\\', 0}, R"("V"="a\"\\")"},
  };
  for (const Case& c : cases) {
    RegDocument doc;
    RegSetValue(&RegEnsureSection(&doc, "A"), "V", RegValue{ValueType::kString, c.data});
    EXPECT_EQ(FormatRegFile(doc), std::string("REGEDIT4\n\n[A]\n") + c.line + "\n\n");
  }
}

TEST(RegFile, NewValuesAndSectionsGoWhereAnExportWouldHaveThem) {
  RegParseResult parsed = ParseRegFile(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\IOCommZambrix]\n"
      "\"FilePath\"=\"a.bot\"\n"
      "; next key\n");
  ASSERT_TRUE(parsed.ok);
  RegDocument& doc = parsed.document;
  RegSetValue(&RegEnsureSection(&doc, kKey), "filepath", {ValueType::kString, Bytes("b.bot\0"s)});
  RegSetValue(&RegEnsureSection(&doc, kKey), "VerFilePath",
              {ValueType::kString, Bytes("b.ver\0"s)});
  RegSetValue(&RegEnsureSection(&doc, std::string(kKey) + "\\Ports"), "COM1",
              {ValueType::kString, Bytes("/dev/ttyUSB0\0"s)});
  EXPECT_EQ(FormatRegFile(doc),
            "REGEDIT4\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\IOCommZambrix]\n"
            "\"FilePath\"=\"b.bot\"\n"
            "\"VerFilePath\"=\"b.ver\"\n"
            "; next key\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Quorvane\\IOCommZambrix\\Ports]\n"
            "\"COM1\"=\"/dev/ttyUSB0\"\n"
            "\n");
}

TEST(RegFile, KeysExistThroughTheirSectionsOrOnesBelowAndListSubkeysInFileOrder) {
  RegParseResult parsed = ParseRegFile(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Ports\\IP_10.0.0.5\\Extra]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Ports\\Lpt]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\ports\\ip_10.0.0.5]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Ports\\IP_10.0.0.55]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\PortsOther]\n");
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const RegDocument& doc = parsed.document;
  EXPECT_TRUE(RegKeyExists(doc, "hkey_local_machine\\system"));
  EXPECT_TRUE(RegKeyExists(doc, "HKEY_LOCAL_MACHINE\\SYSTEM\\Ports"));
  EXPECT_FALSE(RegKeyExists(doc, "HKEY_LOCAL_MACHINE\\SYSTEM\\Port"));
  EXPECT_FALSE(RegKeyExists(doc, "HKEY_LOCAL_MACHINE\\SYSTEM\\Ports\\IP_10.0.0"));
  EXPECT_EQ(RegSubKeyNames(doc, "HKEY_LOCAL_MACHINE\\system\\PORTS"),
            (std::vector<std::string>{"IP_10.0.0.5", "Lpt", "IP_10.0.0.55"}));
  EXPECT_EQ(RegCanonicalPath(doc, "hkey_local_machine\\system\\ports\\lpt\\New"),
            "HKEY_LOCAL_MACHINE\\SYSTEM\\Ports\\Lpt\\New");
  EXPECT_EQ(RegCanonicalPath(doc, "HKEY_CURRENT_USER\\X"), "HKEY_CURRENT_USER\\X");
}

TEST(RegFile, RejectsKeyPathsAndNamesTheFileCannotCarry) {
  std::vector<std::string> parts;
  EXPECT_TRUE(SplitKeyPath("HKEY_LOCAL_MACHINE\\A b\\TCP/IP Port", &parts));
  EXPECT_EQ(parts, (std::vector<std::string>{"HKEY_LOCAL_MACHINE", "A b", "TCP/IP Port"}));
  for (const char* bad : {"", "\\A", "A\\", "A\\\\B", "-A", "A\nB"}) {
    EXPECT_FALSE(SplitKeyPath(bad, &parts)) << bad;
  }
  EXPECT_TRUE(IsWritableValueName("Comm Data"));
  EXPECT_FALSE(IsWritableValueName("Comm\nData"));
}

}  // namespace
}  // namespace velloquin
