// Port names of network serial ports, and what the opener refuses before it
// touches the network.
#include "platform/rfc2217_device.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace velloquin {
namespace {

TEST(Rfc2217Name, ParsesDottedAddressesAndLocalhostOnly) {
  struct Case {
    const char* name;
    std::optional<Rfc2217Address> expected;
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:4001", Rfc2217Address{0x7F000001, 4001}},
      {"RFC2217://10.0.0.9:65535/", Rfc2217Address{0x0A000009, 65535}},
      {"rfc2217://localhost:1", Rfc2217Address{0x7F000001, 1}},
      {"rfc2217://LocalHost:7000", Rfc2217Address{0x7F000001, 7000}},
      {"rfc2217://127.0.0.1:0", std::nullopt},
      {"rfc2217://127.0.0.1:65536", std::nullopt},
      {"rfc2217://127.0.0.1:", std::nullopt},
      {"rfc2217://127.0.0.1:40x1", std::nullopt},
      {"rfc2217://127.0.0.1:+401", std::nullopt},
      {"rfc2217://127.0.0.1", std::nullopt},
      {"rfc2217://:4001", std::nullopt},
      {"rfc2217://printer.example:4001", std::nullopt},
      {"rfc2217://127.1:4001", std::nullopt},
      {"rfc2217://[::1]:4001", std::nullopt},
      {"tcp://127.0.0.1:4001", std::nullopt},
      {"rfc2217://", std::nullopt},
      {"/dev/ttyS0", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseRfc2217Name(c.name), c.expected) << c.name;
}

TEST(Rfc2217Name, OpenerRefusesNamesItCannotParse) {
  SystemClock clock;
  Rfc2217Opener opener(clock);
  int error = 0;
  EXPECT_EQ(opener.Open("rfc2217://nowhere:4001", &error), nullptr);
  EXPECT_EQ(error, EINVAL);
}

}  // namespace
}  // namespace velloquin
