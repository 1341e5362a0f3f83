#include "app/relay_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct ConversionCase {
  const char* text;
  std::int32_t expected;
};

// Values saturate, never wrap: 2^32 + 3 must not come out as relay 3.
// clang-format off
const ConversionCase kConversions[] = {
    {"0", 0}, {"16", 16}, {"007", 7}, {"-1", -1}, {" +1", 1}, {" \t\n\v\f\r3", 3}, {"1x", 1},
    {"On", 0}, {"Off", 0}, {"", 0}, {"-", 0}, {"+-1", 0}, {"x1", 0}, {"1 2", 1},
    {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"-2147483648", INT32_MIN},
    {"-2147483649", INT32_MIN}, {"4294967299", INT32_MAX},
    {"99999999999999999999999999999", INT32_MAX}, {"00000000000000000000000000016", 16},
};
// clang-format on

TEST(ConvertNumber, FollowsAtoiAndSaturatesAt32Bits) {
  for (const ConversionCase& c : kConversions)
    EXPECT_EQ(ConvertNumber(c.text), c.expected) << "text \"" << c.text << "\"";
}

ParseResult Parse(std::initializer_list<const char*> arguments, RelayCommand* command) {
  const char* argv[8] = {"Kavnori"};
  int argc = 1;
  for (const char* a : arguments) argv[argc++] = a;
  return ParseRelayCommand(argc, argv, command);
}

std::string NameOf(const RelayCommand& command) {
  std::string name;
  for (const PortNameChar* c = command.portName.text; *c; ++c) name += static_cast<char>(*c);
  return name;
}

TEST(ParseRelayCommand, NeedsExactlyFourArguments) {
  RelayCommand command;
  EXPECT_EQ(Parse({}, &command), ParseResult::kWrongCount);
  EXPECT_EQ(Parse({"COM3", "1", "3"}, &command), ParseResult::kWrongCount);
  EXPECT_EQ(Parse({"COM3", "1", "3", "1", "1"}, &command), ParseResult::kWrongCount);
  EXPECT_EQ(ParseRelayCommand(0, nullptr, &command), ParseResult::kWrongCount);
}

struct ParseCase {
  const char *address, *relay, *power;
  ParseResult result;
  std::uint8_t expectedAddress;
  std::int32_t expectedRelay, expectedPower;
};

const ParseCase kParses[] = {
    {"1", "3", "1", ParseResult::kParsed, 1, 3, 1},
    {"1", "0", "1", ParseResult::kParsed, 1, 0, 1},  // all relays
    {"1", "16", "0", ParseResult::kParsed, 1, 16, 0},
    {"1", "all", "1", ParseResult::kParsed, 1, 0, 1},  // no digits reads as 0
    {"1", "3", "On", ParseResult::kParsed, 1, 3, 0},   // the word reads as off
    {"1", "3", "Off", ParseResult::kParsed, 1, 3, 0},
    {"1", "007", "1x", ParseResult::kParsed, 1, 7, 1},
    {"256", "1", "1", ParseResult::kParsed, 0, 1, 1},
    {"300", "1", "1", ParseResult::kParsed, 44, 1, 1},
    {"-1", "1", "1", ParseResult::kParsed, 255, 1, 1},
    {"board", "1", "1", ParseResult::kParsed, 0, 1, 1},
    {"1", "17", "1", ParseResult::kOutOfRange, 1, 17, 1},
    {"1", "-1", "1", ParseResult::kOutOfRange, 1, -1, 1},
    {"1", "4294967299", "1", ParseResult::kOutOfRange, 1, INT32_MAX, 1},
    {"1", "-2147483648", "1", ParseResult::kOutOfRange, 1, INT32_MIN, 1},
    {"1", "3", "2", ParseResult::kOutOfRange, 1, 3, 2},
    {"1", "3", "-1", ParseResult::kOutOfRange, 1, 3, -1},
};

TEST(ParseRelayCommand, ConvertsAndChecksRanges) {
  for (const ParseCase& c : kParses) {
    SCOPED_TRACE(testing::Message() << c.address << " " << c.relay << " " << c.power);
    RelayCommand command;
    ASSERT_EQ(Parse({"COM3", c.address, c.relay, c.power}, &command), c.result);
    EXPECT_EQ(command.address, c.expectedAddress);
    EXPECT_EQ(command.relayNumber, c.expectedRelay);
    EXPECT_EQ(command.powerState, c.expectedPower);
    EXPECT_EQ(NameOf(command), "COM3");
  }
}

TEST(ParseRelayCommand, TakesTheLongestNameThatFitsAndRefusesLonger) {
  const std::string longest(kPortNameCapacity - 1, 'p');
  RelayCommand command;
  ASSERT_EQ(Parse({longest.c_str(), "1", "3", "1"}, &command), ParseResult::kParsed);
  EXPECT_EQ(NameOf(command), longest);

  const std::string tooLong(kPortNameCapacity, 'p');
  EXPECT_EQ(Parse({tooLong.c_str(), "1", "3", "1"}, &command), ParseResult::kOutOfRange);
  const std::string huge(100 * 1024, 'p');
  EXPECT_EQ(Parse({huge.c_str(), "1", "3", "1"}, &command), ParseResult::kOutOfRange);
}

TEST(ParseRelayCommand, KeepsNamesWithSpacesAndShellCharactersAsTyped) {
  RelayCommand command;
  ASSERT_EQ(Parse({"my port; $(x) `y`", "1", "3", "1"}, &command), ParseResult::kParsed);
  EXPECT_EQ(NameOf(command), "my port; $(x) `y`");
  ASSERT_EQ(Parse({"", "1", "3", "1"}, &command), ParseResult::kParsed);
  EXPECT_EQ(NameOf(command), "");
}

}  // namespace
