// The tty backend against a pseudo-terminal pair: the test holds the master
// side, the device under test opens the slave path. These tests wait for real
// (tens of milliseconds); their time bounds are loose on purpose.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/linux_serial_device.h"
#include "support/pty_pair.h"

namespace velloquin {
namespace {

using testing_support::PtyPair;
using testing_support::WaitForInput;

constexpr uint32_t kMax = 0xFFFFFFFF;

CommConfigRecord Config(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop,
                        uint32_t flags = kDcbBinary) {
  CommConfigRecord config;
  config.size = kCommConfigSize;
  config.dcb.length = kDcbSize;
  config.dcb.baud_rate = baud;
  config.dcb.byte_size = bits;
  config.dcb.parity = parity;
  config.dcb.stop_bits = stop;
  config.dcb.flags = flags;
  return config;
}

class PtyDeviceBase {
 protected:
  void OpenDevice() {
    ASSERT_EQ(pty_.error(), 0);
    int error = -1;
    device_ = opener_.Open(pty_.slave_path(), &error);
    ASSERT_NE(device_, nullptr) << "open failed, errno " << error;
    EXPECT_EQ(error, 0);
  }
  termios SlaveTermios() {
    termios tio{};
    EXPECT_EQ(::tcgetattr(device_->Handle(), &tio), 0);
    return tio;
  }
  // Writes into the master side and waits until the device has the bytes.
  void Feed(const std::string& bytes) {
    ASSERT_TRUE(pty_.WriteMaster(bytes));
    ASSERT_TRUE(WaitForInput(device_->Handle(), bytes.size(), 2000));
  }
  std::string ReadAll(uint32_t size, IoResult* result) {
    std::string buffer(size, '\0');
    *result = device_->Read(reinterpret_cast<uint8_t*>(buffer.data()), size);
    buffer.resize(result->count);
    return buffer;
  }
  IoResult WriteText(const std::string& text) {
    return device_->Write(reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()));
  }

  SystemClock& clock_ = SystemClock::Instance();
  PtyPair pty_;
  LinuxSerialOpener opener_{clock_};
  std::unique_ptr<SerialDevice> device_;
};

class LinuxSerialDeviceTest : public PtyDeviceBase, public ::testing::Test {
 protected:
  void SetUp() override { OpenDevice(); }
};

TEST_F(LinuxSerialDeviceTest, BytesTravelBothWaysUnchanged) {
  // Bytes a cooked line would rewrite or swallow: CR, LF, NUL, XON, XOFF, DEL.
  const std::string out("\r\n\0\x11\x13\x7f\xff" "firmware", 15);
  IoResult written = WriteText(out);
  EXPECT_TRUE(written.ok);
  EXPECT_EQ(written.count, out.size());
  EXPECT_EQ(pty_.ReadMaster(out.size(), 2000), out);

  const std::string in("\x1c\x66\0\r\n\x03reply", 12);
  Feed(in);
  IoResult read;
  EXPECT_EQ(ReadAll(static_cast<uint32_t>(in.size()), &read), in);
  EXPECT_TRUE(read.ok);
}

struct FrameCase {
  uint32_t baud;
  uint8_t bits, parity, stop;
  speed_t speed;
  tcflag_t size, parity_flags;
};
const FrameCase kFrames[] = {
    {19200, 8, kNoParity, kTwoStopBits, B19200, CS8, 0},
    {115200, 8, kNoParity, kOneStopBit, B115200, CS8, 0},
    {9600, 7, kEvenParity, kOneStopBit, B9600, CS7, PARENB},
    {300, 5, kOddParity, kTwoStopBits, B300, CS5, PARENB | PARODD},
    {57600, 6, kMarkParity, kOneStopBit, B57600, CS6, PARENB | PARODD | CMSPAR},
    {4800, 8, kSpaceParity, kOneStopBit, B4800, CS8, PARENB | CMSPAR},
};

std::string Describe(const FrameCase& c) {
  return std::to_string(c.baud) + " data " + std::to_string(c.bits) + " parity " +
         std::to_string(c.parity) + " stop " + std::to_string(c.stop);
}

TEST(LinuxSerialTermios, FrameMapsBothWays) {
  for (const FrameCase& c : kFrames) {
    SCOPED_TRACE(Describe(c));
    const Dcb dcb = Config(c.baud, c.bits, c.parity, c.stop).dcb;
    termios tio{};
    ASSERT_EQ(DcbToTermios(dcb, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity_flags);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop == kTwoStopBits);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL | HUPCL), tcflag_t{CREAD | CLOCAL | HUPCL});
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);

    const Dcb back = TermiosToDcb(tio, TIOCM_DTR | TIOCM_RTS, true);
    EXPECT_EQ(back.baud_rate, c.baud);
    EXPECT_EQ(back.byte_size, c.bits);
    EXPECT_EQ(back.parity, c.parity);
    EXPECT_EQ(back.stop_bits, c.stop);
    EXPECT_EQ(back.length, kDcbSize);
    EXPECT_TRUE(back.Has(kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable));
  }
}

TEST_F(LinuxSerialDeviceTest, FrameReachesTheTty) {
  for (const FrameCase& c : kFrames) {
    SCOPED_TRACE(Describe(c));
    const CommConfigRecord config = Config(c.baud, c.bits, c.parity, c.stop);
    ASSERT_EQ(device_->SetConfig(config), 0);
    const termios tio = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    // A pseudo-terminal forces CS8 and clears PARENB; the rest of the frame
    // stays as set.
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parity_flags & (PARODD | CMSPAR));
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stop == kTwoStopBits);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO));
    CommConfigRecord back;
    ASSERT_EQ(device_->GetConfig(&back), 0);
    EXPECT_EQ(back, config);
  }
}

TEST_F(LinuxSerialDeviceTest, FlowControlReadsBackThroughTermios) {
  struct Case {
    const char* name;
    uint32_t flags;
    uint8_t xon, xoff;
    tcflag_t iflags;
    bool crtscts;
    cc_t vstart, vstop;
  };
  const Case cases[] = {
      {"none", kDcbBinary, 0, 0, 0, false, 17, 19},
      {"xon/xoff", kDcbBinary | kDcbOutX | kDcbInX | kDcbTxContinueOnXoff, 17, 19, IXON | IXOFF,
       false, 17, 19},
      {"xon/xoff, chars 0", kDcbBinary | kDcbOutX | kDcbInX, 0, 0, IXON | IXOFF, false, 17, 19},
      {"output only, own chars", kDcbBinary | kDcbOutX, 0x21, 0x23, IXON, false, 0x21, 0x23},
      {"cts flow", kDcbBinary | kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDcbDtrControlEnable, 0, 0,
       0, true, 17, 19},
      {"rts handshake", kDcbBinary | kDcbRtsControlHandshake, 0, 0, 0, true, 17, 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommConfigRecord config = Config(115200, 8, kNoParity, kOneStopBit, c.flags);
    config.dcb.xon_char = c.xon;
    config.dcb.xoff_char = c.xoff;
    ASSERT_EQ(device_->SetConfig(config), 0);
    const termios tio = SlaveTermios();
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), c.iflags);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.crtscts);
    EXPECT_EQ(tio.c_cc[VSTART], c.vstart);
    EXPECT_EQ(tio.c_cc[VSTOP], c.vstop);
  }
}

TEST_F(LinuxSerialDeviceTest, RefusedSettingsChangeNothing) {
  const CommConfigRecord good = Config(19200, 8, kNoParity, kTwoStopBits);
  ASSERT_EQ(device_->SetConfig(good), 0);
  const termios before = SlaveTermios();
  struct Case {
    const char* name;
    CommConfigRecord config;
  };
  const Case cases[] = {
      {"speed 14400", Config(14400, 8, kNoParity, kOneStopBit)},
      {"speed 0", Config(0, 8, kNoParity, kOneStopBit)},
      {"4 data bits", Config(9600, 4, kNoParity, kOneStopBit)},
      {"9 data bits", Config(9600, 9, kNoParity, kOneStopBit)},
      {"1.5 stop bits", Config(9600, 5, kNoParity, kOne5StopBits)},
      {"stop code 3", Config(9600, 8, kNoParity, 3)},
      {"parity code 5", Config(9600, 8, 5, kOneStopBit)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(device_->SetConfig(c.config), EINVAL);
    const termios after = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    CommConfigRecord back;
    ASSERT_EQ(device_->GetConfig(&back), 0);
    EXPECT_EQ(back, good);
  }
}

TEST_F(LinuxSerialDeviceTest, FreshConfigDescribesTheLineAndAppliesAgain) {
  CommConfigRecord fresh;
  ASSERT_EQ(device_->GetConfig(&fresh), 0);
  EXPECT_EQ(fresh.size, kCommConfigSize);
  EXPECT_EQ(fresh.dcb.length, kDcbSize);
  EXPECT_TRUE(fresh.dcb.Has(kDcbBinary));
  EXPECT_EQ(fresh.dcb.baud_rate, 38400u);  // a new pseudo-terminal's speed
  EXPECT_EQ(fresh.dcb.byte_size, 8);
  EXPECT_EQ(fresh.dcb.parity, kNoParity);
  EXPECT_EQ(fresh.dcb.stop_bits, kOneStopBit);
  EXPECT_FALSE(fresh.dcb.Has(kDcbOutX) || fresh.dcb.Has(kDcbOutxCtsFlow));

  EXPECT_EQ(device_->SetConfig(fresh), 0);
  CommConfigRecord back;
  ASSERT_EQ(device_->GetConfig(&back), 0);
  EXPECT_EQ(back, fresh);
}

struct ReadCase {
  const char* name;
  CommTimeoutValues timeouts;  // interval, total multiplier, total constant
  std::string buffered;        // already received when the read starts
  uint32_t size;
  uint32_t expect_count;
  int64_t min_ms, max_ms;
};

class LinuxSerialDeviceRead : public PtyDeviceBase, public ::testing::TestWithParam<ReadCase> {
 protected:
  void SetUp() override { OpenDevice(); }
};

TEST_P(LinuxSerialDeviceRead, EndsAsTheTimeoutsSay) {
  const ReadCase& c = GetParam();
  ASSERT_EQ(device_->SetTimeouts(c.timeouts), 0);
  if (!c.buffered.empty()) Feed(c.buffered);
  const int64_t start = clock_.NowMs();
  IoResult result;
  const std::string got = ReadAll(c.size, &result);
  const int64_t elapsed = clock_.NowMs() - start;
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, c.expect_count);
  EXPECT_EQ(got, c.buffered.substr(0, c.expect_count));
  EXPECT_GE(elapsed, c.min_ms);
  EXPECT_LE(elapsed, c.max_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, LinuxSerialDeviceRead,
    ::testing::Values(
        ReadCase{"TotalConstantNoData", {0, 0, 50}, "", 10, 0, 49, 1500},
        ReadCase{"TotalGrowsWithSize", {0, 10, 20}, "", 4, 0, 59, 1500},
        ReadCase{"TotalKeepsPartialData", {0, 0, 50}, "ab", 10, 2, 49, 1500},
        ReadCase{"FullBufferReturnsAtOnce", {0, 0, 5000}, "abcd", 4, 4, 0, 1500},
        ReadCase{"IntervalEndsReadAfterLastByte", {30, 0, 5000}, "abc", 100, 3, 29, 2500},
        ReadCase{"IntervalUnusedBeforeFirstByte", {20, 0, 80}, "", 10, 0, 79, 1500},
        ReadCase{"ImmediateWithNothing", {kMax, 0, 0}, "", 10, 0, 0, 500},
        ReadCase{"ImmediateTakesWhatIsBuffered", {kMax, 0, 0}, "xyz", 10, 3, 0, 500},
        ReadCase{"FirstByteEndsRead", {kMax, kMax, 5000}, "ab", 10, 2, 0, 1500},
        ReadCase{"FirstByteModeTimesOut", {kMax, kMax, 50}, "", 10, 0, 49, 1500}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST_F(LinuxSerialDeviceTest, IntervalRestartsWithEveryByte) {
  ASSERT_EQ(device_->SetTimeouts({150, 0, 5000, 0, 0}), 0);
  std::thread sender([this] {
    pty_.WriteMaster("ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pty_.WriteMaster("cd");
  });
  const int64_t start = clock_.NowMs();
  IoResult result;
  const std::string got = ReadAll(100, &result);
  const int64_t elapsed = clock_.NowMs() - start;
  sender.join();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(got, "abcd");
  EXPECT_GE(elapsed, 149);
  EXPECT_LE(elapsed, 2500);
}

TEST_F(LinuxSerialDeviceTest, WriteTimesOutWithThePartialCount) {
  // Nobody reads the master side, so the pseudo-terminal's queue fills up.
  ASSERT_EQ(device_->SetTimeouts({0, 0, 0, 0, 40}), 0);
  const std::string big(1 << 20, 'x');
  const int64_t start = clock_.NowMs();
  const IoResult result = WriteText(big);
  const int64_t elapsed = clock_.NowMs() - start;
  EXPECT_TRUE(result.ok);
  EXPECT_GT(result.count, 0u);
  EXPECT_LT(result.count, big.size());
  EXPECT_GE(elapsed, 39);
  EXPECT_LE(elapsed, 2000);
  EXPECT_EQ(pty_.ReadMaster(result.count, 2000).size(), result.count);
}

TEST_F(LinuxSerialDeviceTest, WriteWaitsForRoomUntilDone) {
  // More than the queue holds: the write must wait for the reader to make room.
  ASSERT_EQ(device_->SetTimeouts({0, 0, 0, 0, 5000}), 0);
  const std::string big(200000, 'y');
  std::string received;
  std::thread reader([&] { received = pty_.ReadMaster(big.size(), 2000); });
  const IoResult result = WriteText(big);
  reader.join();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, big.size());
  EXPECT_EQ(received, big);
}

TEST_F(LinuxSerialDeviceTest, StatusCountsReceivedBytes) {
  Feed("hello");
  CommStatus status;
  status.hold = 99;
  ASSERT_EQ(device_->GetStatus(&status), 0);
  EXPECT_EQ(status.in_queue, 5u);
  EXPECT_EQ(status.out_queue, 0u);
  EXPECT_EQ(status.errors, 0u);
  EXPECT_EQ(status.hold, 0u);
}

TEST_F(LinuxSerialDeviceTest, PseudoTerminalHasNoModemLinesToDrive) {
  uint32_t lines = 0;
  EXPECT_NE(device_->GetModemStatus(&lines), 0);
  for (LineFunction f : {LineFunction::kSetDtr, LineFunction::kClearDtr, LineFunction::kSetRts,
                         LineFunction::kClearRts}) {
    EXPECT_NE(device_->EscapeFunction(f), 0);
  }
}

TEST_F(LinuxSerialDeviceTest, EveryCallAfterCloseFailsWithEbadf) {
  ASSERT_EQ(device_->Close(), 0);
  uint8_t byte = 0;
  uint32_t lines = 0;
  CommStatus status;
  CommConfigRecord config = Config(9600, 8, kNoParity, kOneStopBit);
  const std::vector<std::pair<const char*, std::function<int()>>> calls = {
      {"Read", [&] { return device_->Read(&byte, 1).error; }},
      {"Write", [&] { return device_->Write(&byte, 1).error; }},
      {"GetConfig", [&] { return device_->GetConfig(&config); }},
      {"SetConfig", [&] { return device_->SetConfig(config); }},
      {"SetTimeouts", [&] { return device_->SetTimeouts({}); }},
      {"GetModemStatus", [&] { return device_->GetModemStatus(&lines); }},
      {"EscapeFunction", [&] { return device_->EscapeFunction(LineFunction::kSetDtr); }},
      {"GetStatus", [&] { return device_->GetStatus(&status); }},
      {"Close", [&] { return device_->Close(); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(), EBADF);
  }
  EXPECT_FALSE(device_->Read(&byte, 1).ok);
  EXPECT_FALSE(device_->Write(&byte, 1).ok);
}

TEST_F(LinuxSerialDeviceTest, SecondOpenIsRefusedAndLeavesTheHolderAlone) {
  ASSERT_EQ(device_->SetConfig(Config(115200, 8, kNoParity, kOneStopBit)), 0);
  LinuxSerialOpener other_opener(clock_);
  for (LinuxSerialOpener* opener : {&opener_, &other_opener}) {
    int error = 0;
    EXPECT_EQ(opener->Open(pty_.slave_path(), &error), nullptr);
    EXPECT_EQ(error, EBUSY);
  }
  const termios tio = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_EQ(WriteText("still mine").count, 10u);
  EXPECT_EQ(pty_.ReadMaster(10, 2000), "still mine");

  ASSERT_EQ(device_->Close(), 0);
  int error = -1;
  EXPECT_NE(opener_.Open(pty_.slave_path(), &error), nullptr) << "errno " << error;
}

TEST_F(LinuxSerialDeviceTest, HungUpLineFailsInsteadOfLookingQuiet) {
  ASSERT_EQ(device_->SetTimeouts({0, 0, 5000, 0, 0}), 0);
  pty_.CloseMaster();
  const int64_t start = clock_.NowMs();
  IoResult result;
  ReadAll(10, &result);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, EIO);
  EXPECT_LT(clock_.NowMs() - start, 2500);  // not the 5 s time-out
  EXPECT_FALSE(WriteText("x").ok);
}

TEST(LinuxSerialOpener, RefusesWhatIsNotAnOpenableTty) {
  char temp_path[] = "/tmp/velloquin-serial-XXXXXX";
  const int temp_fd = ::mkstemp(temp_path);
  ASSERT_GE(temp_fd, 0);
  ::close(temp_fd);
  struct Case {
    const char* path;
    int error;
  };
  const Case cases[] = {
      {"/nonexistent-velloquin/ttyS0", ENOENT},
      {"/dev/null", ENOTTY},
      {temp_path, ENOTTY},
  };
  LinuxSerialOpener opener(SystemClock::Instance());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int error = 0;
    EXPECT_EQ(opener.Open(c.path, &error), nullptr);
    EXPECT_EQ(error, c.error);
  }
  ::unlink(temp_path);
}

// Real time, plus an hour from the second reading on: every deadline taken
// from this clock has passed as soon as the wait begins.
class JumpingClock final : public Clock {
 public:
  int64_t NowMs() override {
    const int64_t now = SystemClock::Instance().NowMs();
    return readings_++ == 0 ? now : now + 3'600'000;
  }
  void SleepMs(int64_t) override {}

 private:
  int readings_ = 0;
};

TEST(LinuxSerialDeviceClock, DeadlinesComeFromTheInjectedClock) {
  PtyPair pty;
  ASSERT_EQ(pty.error(), 0);
  JumpingClock clock;
  LinuxSerialOpener opener(clock);
  int error = 0;
  auto device = opener.Open(pty.slave_path(), &error);
  ASSERT_NE(device, nullptr) << "errno " << error;
  ASSERT_EQ(device->SetTimeouts({0, 0, 60'000, 0, 0}), 0);
  const int64_t start = SystemClock::Instance().NowMs();
  uint8_t buffer[8];
  const IoResult result = device->Read(buffer, sizeof buffer);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, 0u);
  EXPECT_LT(SystemClock::Instance().NowMs() - start, 5000);
}

}  // namespace
}  // namespace velloquin
