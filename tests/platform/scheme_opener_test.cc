#include "platform/scheme_opener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace velloquin {
namespace {

// A device that only says which opener made it.
class TaggedDevice final : public SerialDevice {
 public:
  explicit TaggedDevice(int tag) : tag_(tag) {}
  int Handle() const override { return tag_; }
  int GetConfig(CommConfigRecord*) override { return 0; }
  int SetConfig(const CommConfigRecord&) override { return 0; }
  int SetTimeouts(const CommTimeoutValues&) override { return 0; }
  IoResult Write(const uint8_t*, uint32_t) override { return {true, 0, 0}; }
  IoResult Read(uint8_t*, uint32_t) override { return {true, 0, 0}; }
  int GetModemStatus(uint32_t*) override { return 0; }
  int EscapeFunction(LineFunction) override { return 0; }
  int GetStatus(CommStatus*) override { return 0; }
  int Close() override { return 0; }

 private:
  int tag_;
};

// Records the names it is asked for; fails with `error` when it is not 0.
class FakeOpener final : public SerialOpener {
 public:
  explicit FakeOpener(int tag, int error = 0) : tag_(tag), error_(error) {}
  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override {
    names.push_back(name);
    *error = error_;
    if (error_ != 0) return nullptr;
    return std::make_unique<TaggedDevice>(tag_);
  }
  std::vector<std::string> names;

 private:
  int tag_;
  int error_;
};

constexpr int kDefault = 1, kSim = 2, kRfc = 3, kSimSpecial = 4;

class SchemeOpenerTest : public ::testing::Test {
 protected:
  SchemeOpenerTest() {
    schemes_.Register("sim:", &sim_);
    schemes_.Register("rfc2217://", &rfc_);
  }
  // The tag of the opener that served `name`, or -errno.
  int Route(const std::string& name) {
    int error = -1;
    auto device = schemes_.Open(name, &error);
    return device ? device->Handle() : -error;
  }

  FakeOpener default_{kDefault}, sim_{kSim}, rfc_{kRfc};
  SchemeOpener schemes_{&default_};
};

TEST_F(SchemeOpenerTest, RoutesByPrefix) {
  struct Case {
    const char* name;
    int route;
  };
  const Case cases[] = {
      {"/dev/ttyUSB0", kDefault},
      {"/dev/serial/by-id/usb-adapter-port0", kDefault},
      {"sim:printer=1,faults=none", kSim},
      {"SIM:printer=2", kSim},  // schemes compare without case
      {"rfc2217://10.0.0.9:4001", kRfc},
      {"RFC2217://10.0.0.9:4001", kRfc},
      {"simulator", kDefault},  // "sim" without the colon is no scheme
      {"telnet://10.0.0.9:23", -ENOENT},
      {"rfc2217:/10.0.0.9", kDefault},
      {"", kDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Route(c.name), c.route);
  }
}

TEST_F(SchemeOpenerTest, HandsTheWholeNameOnAndReportsTheOpenersError) {
  FakeOpener busy(9, EBUSY);
  schemes_.Register("busy:", &busy);
  EXPECT_EQ(Route("sim:printer=1"), kSim);
  EXPECT_EQ(sim_.names, std::vector<std::string>{"sim:printer=1"});
  EXPECT_EQ(Route("busy:x"), -EBUSY);
  EXPECT_EQ(busy.names, std::vector<std::string>{"busy:x"});
  EXPECT_TRUE(default_.names.empty());
}

TEST_F(SchemeOpenerTest, LongestPrefixWinsAndRegisteringAgainReplaces) {
  FakeOpener special(kSimSpecial);
  schemes_.Register("sim:special:", &special);
  EXPECT_EQ(Route("sim:special:1"), kSimSpecial);
  EXPECT_EQ(Route("sim:plain"), kSim);

  FakeOpener replacement(7);
  schemes_.Register("SIM:", &replacement);
  EXPECT_EQ(Route("sim:plain"), 7);

  schemes_.Register("sim:special:", nullptr);
  EXPECT_EQ(Route("sim:special:1"), 7);
}

TEST(SchemeOpener, WithoutDefaultPlainNamesFailWithEnoent) {
  FakeOpener sim(kSim);
  SchemeOpener schemes(nullptr);
  schemes.Register("sim:", &sim);
  int error = 0;
  EXPECT_EQ(schemes.Open("/dev/ttyS0", &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_NE(schemes.Open("sim:x", &error), nullptr);
}

}  // namespace
}  // namespace velloquin
