#include "cli/station_options.h"

#include <gtest/gtest.h>

#include "app/command_line.h"

namespace velloquin {
namespace {

TEST(CommandLine, PortsParameterRule) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, 4},
      {{"ports:12"}, 12},        {{"/ports:12"}, 12},  {{"-PORTS:12"}, 12},
      {{"Ports:12"}, 12},        {{"ports:1"}, 4},     {{"ports:99"}, 20},
      {{"ports:abc"}, 4},        {{"ports:"}, 4},      {{"ports:8x"}, 8},
      {{"ports:6", "ports:9"}, 9}, {{"ports:", "8"}, 4}, {{"ports: 7"}, 7},
      {{"ports:-5"}, 4},         {{"ports:+5"}, 5},    {{"ports:99999999999999999999"}, 20},
      {{"--ports:5"}, 4},        {{"port:5"}, 4},
  };
  for (const auto& [args, rows] : cases) {
    EXPECT_EQ(RowsToShow(CommandLineRows(args)), rows) << (args.empty() ? "" : args[0]);
  }
  EXPECT_EQ(CommandLineRows({}), 0);
}

TEST(StationOptions, ParsesTheControlsOfTheWindow) {
  StationOptions options;
  std::string error;
  ASSERT_TRUE(ParseStationOptions({"ports:6", "--firmware", "/fw/a.bot", "--verify", "/fw/a.ver",
                                   "--pre-verify", "--reset-baud", "--port", "2=COM7:", "--port",
                                   "6=/dev/ttyUSB0", "--printers", "3", "--json"},
                                  &options, &error))
      << error;
  EXPECT_EQ(options.rows, 6);
  EXPECT_EQ(*options.firmware, "/fw/a.bot");
  EXPECT_EQ(*options.verify, "/fw/a.ver");
  EXPECT_TRUE(options.pre_verify);
  EXPECT_TRUE(options.reset_baud);
  EXPECT_EQ(options.ports.at(2), "COM7:");
  EXPECT_EQ(options.ports.at(6), "/dev/ttyUSB0");
  EXPECT_EQ(options.printers, 3);
  EXPECT_TRUE(options.json);
}

TEST(StationOptions, BadArgumentsAreRefusedWithAReason) {
  const std::vector<std::string> cases[] = {
      {"--firmware"},          {"--printers", "0"},   {"--printers", "x"},
      {"--port", "0=COM1:"},   {"--port", "21=COM1:"}, {"--port", "COM1:"},
      {"--port", "2="},        {"--port", "5=COM5:"},  // only 4 rows
      {"--frobnicate"},        {"stray"},
  };
  for (const auto& args : cases) {
    StationOptions options;
    std::string error;
    EXPECT_FALSE(ParseStationOptions(args, &options, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(StationOptions, VerificationPathDerivedAsBrowseDoes) {
  EXPECT_EQ(DeriveVerificationPath("/fw/main.bot"), "/fw/main.ver");
  EXPECT_EQ(DeriveVerificationPath("/fw/main.bot.bak"), "/fw/main.bot.ver");
  EXPECT_EQ(DeriveVerificationPath("firmware"), "firmware.ver");
  EXPECT_EQ(DeriveVerificationPath(".bot"), ".bot.ver");
}

}  // namespace
}  // namespace velloquin
