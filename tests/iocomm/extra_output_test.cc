#include "iocomm/extra_output.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "iocomm/io_comm.h"
#include "support/device_channel_fixture.h"

namespace velloquin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::Bytes;
using testing_support::DeviceChannelFixture;
using testing_support::kChannelKey;

// Bytes from a literal that may hold zero bytes: B("AB\0", 3).
Bytes B(const char* text, size_t length) { return Bytes(text, text + length); }
Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct ReplaceCase {
  const char* what;
  Bytes text, pattern, replacement;
  int result;
  Bytes after;  // the text afterwards
};

TEST(ExtraOutput, ReplaceAllCases) {
  const ReplaceCase cases[] = {
      {"CR LF becomes CR", {0x41, 0x0D, 0x0A, 0x42, 0x0D, 0x0A}, {0x0D, 0x0A}, {0x0D}, 4,
       {0x41, 0x0D, 0x42, 0x0D}},
      {"inserted bytes are not searched again", B("AAA"), B("A"), B("AA"), 6, B("AAAAAA")},
      {"a replacement holding the pattern", B("ABAB"), B("AB"), B("ABAB"), 8, B("ABABABAB")},
      {"whole text, longer conversion", B("AB"), B("AB"), B("XYZ"), 3, B("XYZ")},
      {"whole text, shorter conversion", B("ABC"), B("ABC"), B("Z"), 1, B("Z")},
      {"same length, different", B("ABC"), B("ABD"), B("Z"), 0, B("ABC")},
      {"same length, equal as text", B("AB\0C", 4), B("AB\0D", 4), B("Q"), 1, B("Q")},
      {"stored zero removes the byte after", B("xABy"), B("AB\0", 3), B("Z"), 2, B("xZ")},
      {"stored zero at the end of the text", B("xxAB"), B("AB\0", 3), B("Z"), 3, B("xxZ")},
      {"conversion inserts its zero", B("xAy"), B("A"), B("B\0", 2), 4, B("xB\0y", 4)},
      {"nothing after a zero is searched", B("A\0A", 3), B("A"), B("B"), 3, B("B\0A", 3)},
      {"not found", B("hello"), B("xyz"), B("1"), 0, B("hello")},
      {"pattern longer than the text", B("A"), B("AB"), B("1"), 0, B("A")},
      {"pattern empty as text", B("xAy"), B("\0A", 2), B("1"), 0, B("xAy")},
      {"occurrences removed", B("xAyA"), B("A"), {}, 2, B("xy")},
      {"a rewrite to nothing is not made", B("AA"), B("A"), {}, 0, B("AA")},
      {"whole text to nothing is not made", B("AB"), B("AB"), {}, 0, B("AB")},
  };
  for (const auto& c : cases) {
    Bytes text = c.text;
    EXPECT_EQ(ReplaceAll(&text, c.pattern, c.replacement), c.result) << c.what;
    EXPECT_EQ(text, c.after) << c.what;
  }
}

TEST(ExtraOutput, ReplaceAllStopsAfter100Replacements) {
  Bytes text(150, 'A');
  EXPECT_EQ(ReplaceAll(&text, B("A"), B("BB")), 250);
  Bytes expected(200, 'B');
  expected.insert(expected.end(), 50, 'A');
  EXPECT_EQ(text, expected);
}

// A serial channel with the extra output on and the given four pairs.
struct SubstitutionCase {
  const char* what;
  std::vector<Bytes> rules;  // pattern1, conversion1, pattern2, ...
  Bytes block;
  Bytes written;  // what the port received
};

TEST(ExtraOutput, SubstitutionOfOutputBlocks) {
  const Bytes kCrLf{0x0D, 0x0A};
  const Bytes kCrLfBlock{0x41, 0x0D, 0x0A, 0x42, 0x0D, 0x0A};
  const SubstitutionCase cases[] = {
      {"CR LF becomes CR", {kCrLf, {0x0D}}, kCrLfBlock, {0x41, 0x0D, 0x42, 0x0D}},
      {"growing", {B("A"), B("AA")}, B("AAA"), B("AAAAAA")},
      {"pairs in order", {B("A"), B("B"), B("B"), B("C")}, B("AB"), B("CC")},
      {"pair 4 alone", {{}, {}, {}, {}, {}, {}, B("x"), B("y")}, B("xx"), B("yy")},
      {"a pattern empty as text is skipped", {B("\0A", 2), B("Z")}, B("AA"), B("AA")},
      {"whole block, longer conversion", {B("PING"), B("PONG!!")}, B("PING"), B("PONG!!")},
      {"579 bytes are rewritten", {B("A"), B("B")}, Bytes(579, 'A'),
       [] { Bytes b(100, 'B'); b.insert(b.end(), 479, 'A'); return b; }()},
      {"580 bytes are not", {B("A"), B("B")}, Bytes(580, 'A'), Bytes(580, 'A')},
      {"a rewrite of 599 bytes fits", {B("A"), B("AA")}, Bytes(499, 'A'), Bytes(599, 'A')},
      {"one of 600 is written unchanged", {B("A"), B("AA")}, Bytes(500, 'A'), Bytes(500, 'A')},
      {"100 bytes applied 100 times", {B("A"), Bytes(100, 'B')}, Bytes(100, 'A'),
       Bytes(100, 'A')},
      {"too big after pair 1, fits after pair 2", {B("A"), B("AAA"), B("AAA"), B("A")},
       Bytes(400, 'A'), Bytes(400, 'A')},
  };
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    auto channel = f.OpenChannel();
    channel->DoExtra = 1;
    ByteString* fields[] = {&channel->Pattern1, &channel->Conversion1, &channel->Pattern2,
                            &channel->Conversion2, &channel->Pattern3, &channel->Conversion3,
                            &channel->Pattern4, &channel->Conversion4};
    for (size_t i = 0; i < c.rules.size(); ++i) *fields[i] = c.rules[i];
    EXPECT_EQ(channel->Output(c.block.data(), static_cast<int>(c.block.size())), 1) << c.what;
    EXPECT_EQ(f.port->writes.size(), 1u) << c.what << ": one write, no extra passes";
    EXPECT_EQ(f.port->AllWritten(), c.written) << c.what;
    EXPECT_EQ(channel->LastOutputCount, static_cast<int>(c.block.size()))
        << c.what << ": counted in the caller's bytes";
  }
}

TEST(ExtraOutput, PartialWriteOfARewrittenBlockNeitherRepeatsNorSkips) {
  DeviceChannelFixture f;
  auto channel = f.OpenChannel();
  channel->DoExtra = 1;
  channel->Pattern1 = {0x0D, 0x0A};
  channel->Conversion1 = {0x0D};
  f.port->max_write = 2;
  const Bytes block{0x41, 0x0D, 0x0A, 0x42, 0x0D, 0x0A};
  int64_t before = f.clock.NowMs();
  EXPECT_EQ(channel->Output(block.data(), 6), 1);
  EXPECT_THAT(f.port->WriteSizes(), ElementsAre(2, 2));
  EXPECT_EQ(f.port->AllWritten(), (Bytes{0x41, 0x0D, 0x42, 0x0D}));
  EXPECT_EQ(channel->LastOutputCount, 6);
  EXPECT_EQ(f.clock.NowMs() - before, 1000) << "one partial pass";
}

TEST(ExtraOutput, StringsFromTheSettingsKey) {
  // Stored as text, the pattern "AB" brings its zero byte: it removes the
  // byte after each AB; the conversion "-" inserts its zero byte.
  DeviceChannelFixture f;
  f.settings.SetDword(kChannelKey, "DoExtra", 1);
  f.settings.SetText(kChannelKey, "Pattern1", "AB");
  f.settings.SetText(kChannelKey, "Conversion1", "-");
  auto channel = f.OpenChannel();
  const Bytes block = B("xABcd");
  channel->Output(block.data(), 5);
  EXPECT_EQ(f.port->AllWritten(), B("x-\0d", 4));
}

struct KindCase {
  const char* name;
  bool strings_sent;
};

TEST(ExtraOutput, StartAndEndStringsWrapEachDeviceConnection) {
  const KindCase cases[] = {
      {"COM1:", true}, {"/dev/usb/lp0", true}, {"LPT1", true}, {"10.0.0.5:9100", false}};
  for (const auto& c : cases) {
    DeviceChannelFixture f;
    f.settings.SetDword(kChannelKey, "DoExtra", 1);
    f.settings.SetText(kChannelKey, "Start", "ABC");
    f.settings.SetBinary(kChannelKey, "End", {0x1B, 0x45});
    // Patterns that would rewrite both strings: the strings go out as they are.
    f.settings.SetBinary(kChannelKey, "Pattern1", {'B'});
    f.settings.SetBinary(kChannelKey, "Conversion1", {'b'});
    f.settings.SetBinary(kChannelKey, "Pattern2", {0x1B});
    f.settings.SetBinary(kChannelKey, "Conversion2", {'e'});
    auto channel = f.OpenNamed(c.name);
    ASSERT_TRUE(channel->IsOpen()) << c.name;
    const uint8_t data[] = {'B'};
    channel->Output(data, 1);
    int64_t before = f.clock.NowMs();
    EXPECT_EQ(channel->Close(), 1);
    int64_t close_ms = f.clock.NowMs() - before;
    EXPECT_EQ(channel->DoExtra, 1u) << c.name;

    Bytes written = f.port->AllWritten();
    Bytes printed = f.printer->AllWritten();
    written.insert(written.end(), printed.begin(), printed.end());
    Bytes sent = f.peer->AllSent();
    written.insert(written.end(), sent.begin(), sent.end());
    if (c.strings_sent) {
      EXPECT_EQ(written, (Bytes{'A', 'B', 'C', 0, 'b', 0x1B, 0x45})) << c.name;
      EXPECT_EQ(close_ms, 500) << c.name;
    } else {
      EXPECT_EQ(written, (Bytes{'b'})) << c.name << ": substitutions only";
      EXPECT_EQ(close_ms, 0) << c.name;
    }
  }
}

TEST(ExtraOutput, NothingExtraWithoutDoExtra) {
  DeviceChannelFixture f;
  f.settings.SetText(kChannelKey, "Start", "ABC");
  f.settings.SetText(kChannelKey, "End", "XYZ");
  f.settings.SetText(kChannelKey, "Pattern1", "Q");
  auto channel = f.OpenChannel();
  const uint8_t data[] = {'Q'};
  channel->Output(data, 1);
  int64_t before = f.clock.NowMs();
  channel->Close();
  EXPECT_EQ(f.port->AllWritten(), B("Q"));
  EXPECT_EQ(f.clock.NowMs(), before);
}

TEST(ExtraOutput, SendStartStringWithoutHandleOrSwitch) {
  DeviceChannelFixture f;
  auto channel = f.OpenChannel();
  channel->StartString = B("S");
  EXPECT_EQ(channel->SendStartString(0), 0);
  EXPECT_EQ(channel->SendStartString(42), 42) << "DoExtra is 0";
  EXPECT_THAT(f.port->writes, IsEmpty());
  channel->DoExtra = 1;
  EXPECT_EQ(channel->SendStartString(channel->IOHandle), channel->IOHandle);
  EXPECT_EQ(f.port->AllWritten(), B("S"));
}

}  // namespace
}  // namespace velloquin
