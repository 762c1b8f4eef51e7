#include "platform/comm_config.h"

#include <gtest/gtest.h>

namespace velloquin {
namespace {

struct ModeCase {
  const char* text;
  bool ok;
  uint32_t baud;
  uint8_t data, parity, stop;
};

TEST(CommConfig, ModeTextParser) {
  const ModeCase cases[] = {
      {"baud=19200 parity=N data=8 stop=2", true, 19200, 8, kNoParity, kTwoStopBits},
      {"baud=115200 parity=N data=8 stop=1", true, 115200, 8, kNoParity, kOneStopBit},
      {"BAUD=9600 PARITY=e DATA=7 STOP=1.5", true, 9600, 7, kEvenParity, kOne5StopBits},
      {"baud=96 parity=o", true, 9600, 0, kOddParity, 0},  // legacy abbreviation
      {"baud=2400,parity=m data=5", true, 2400, 5, kMarkParity, 0},
      {"", false, 0, 0, 0, 0},
      {"baud=", false, 0, 0, 0, 0},
      {"baud=fast", false, 0, 0, 0, 0},
      {"baud=0", false, 0, 0, 0, 0},
      {"parity=x", false, 0, 0, 0, 0},
      {"data=9", false, 0, 0, 0, 0},
      {"stop=3", false, 0, 0, 0, 0},
      {"speed=9600", false, 0, 0, 0, 0},
      {"baud=9600 stop", false, 0, 0, 0, 0},
      {"baud=99999999999", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Dcb dcb;
    Dcb before = dcb;
    EXPECT_EQ(BuildCommDcb(c.text, &dcb), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(dcb, before) << "a bad text changes nothing: " << c.text;
      continue;
    }
    EXPECT_EQ(dcb.baud_rate, c.baud) << c.text;
    EXPECT_EQ(dcb.byte_size, c.data) << c.text;
    EXPECT_EQ(dcb.parity, c.parity) << c.text;
    EXPECT_EQ(dcb.stop_bits, c.stop) << c.text;
    EXPECT_TRUE(dcb.Has(kDcbBinary));
  }
}

TEST(CommConfig, ModeTextFlowKeysAndUntouchedMembers) {
  Dcb dcb;
  dcb.flags = kDcbOutxCtsFlow | kDcbRtsControlHandshake;
  dcb.xon_lim = 256;
  ASSERT_TRUE(BuildCommDcb("baud=19200 parity=N data=8 stop=2", &dcb));
  EXPECT_TRUE(dcb.Has(kDcbOutxCtsFlow | kDcbRtsControlHandshake)) << "not named: left alone";
  EXPECT_EQ(dcb.xon_lim, 256);
  ASSERT_TRUE(BuildCommDcb("xon=on octs=off dtr=on rts=hs odsr=on idsr=off to=on", &dcb));
  EXPECT_TRUE(dcb.Has(kDcbOutX | kDcbInX | kDcbOutxDsrFlow | kDcbDtrControlEnable));
  EXPECT_FALSE(dcb.Has(kDcbOutxCtsFlow));
  EXPECT_EQ(dcb.flags & kDcbRtsControlMask, kDcbRtsControlHandshake);
}

TEST(CommConfig, RecordIs52LittleEndianBytes) {
  CommConfigRecord record;
  record.size = 52;
  record.version = 1;
  record.dcb.length = 28;
  record.dcb.baud_rate = 115200;  // 00 01 C2 00
  record.dcb.flags = 0x3011;
  record.dcb.xon_lim = 256;
  record.dcb.byte_size = 8;
  record.dcb.stop_bits = 2;
  record.dcb.xoff_char = 19;
  record.provider_data = 0xAABBCCDD;
  auto bytes = record.ToBytes();
  EXPECT_EQ(bytes[0], 52);
  EXPECT_EQ(bytes[8], 28);                                   // DCBlength
  EXPECT_EQ(bytes[12], 0x00);                                // BaudRate
  EXPECT_EQ(bytes[13], 0xC2);
  EXPECT_EQ(bytes[14], 0x01);
  EXPECT_EQ(bytes[16], 0x11);                                // flags
  EXPECT_EQ(bytes[17], 0x30);
  EXPECT_EQ(bytes[23], 0x01);                                // XonLim high byte
  EXPECT_EQ(bytes[26], 8);                                   // ByteSize
  EXPECT_EQ(bytes[28], 2);                                   // StopBits
  EXPECT_EQ(bytes[30], 19);                                  // XoffChar
  EXPECT_EQ(bytes[48], 0xDD);
  EXPECT_EQ(CommConfigRecord::FromBytes(bytes), record);
}

}  // namespace
}  // namespace velloquin
