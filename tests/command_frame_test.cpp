#include "protocol/command_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

using Bytes = std::array<std::uint8_t, kCommandFrameSize>;

Bytes BytesOf(const CommandFrame& frame) {
  Bytes bytes;
  for (std::size_t i = 0; i < kCommandFrameSize; ++i) bytes[i] = frame.bytes[i];
  return bytes;
}

struct FrameCase {
  std::uint8_t address;
  std::int32_t relayNumber, powerState;
  Bytes expected;
};

// Checked by hand against the board's protocol: 55, address, 11 off / 12 on,
// three zeros, relay, then the sum of the first seven bytes.
const FrameCase kFrames[] = {
    {1, 3, 1, {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6B}},
    {1, 3, 0, {0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x03, 0x6A}},
    {0, 0, 1, {0x55, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x67}},
    {255, 16, 1, {0x55, 0xFF, 0x12, 0x00, 0x00, 0x00, 0x10, 0x76}},  // sum 0x176 wraps
    {0, 0, 0, {0x55, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x66}},
    {0xA0, 16, 0, {0x55, 0xA0, 0x11, 0x00, 0x00, 0x00, 0x10, 0x16}},  // sum 0x116 wraps
    {0x0A, 9, 1, {0x55, 0x0A, 0x12, 0x00, 0x00, 0x00, 0x09, 0x7A}},
    {0x88, 8, 1, {0x55, 0x88, 0x12, 0x00, 0x00, 0x00, 0x08, 0xF7}},
};

TEST(CommandFrame, MatchesTheBoardsFrameTable) {
  for (const FrameCase& c : kFrames) {
    SCOPED_TRACE(testing::Message() << "address " << int{c.address} << " relay " << c.relayNumber
                                    << " power " << c.powerState);
    EXPECT_EQ(BytesOf(BuildCommandFrame(c.address, c.powerState, c.relayNumber)), c.expected);
  }
}

TEST(CommandFrame, ChecksumIsTheWrappingSumOfTheFirstSevenBytes) {
  const std::uint8_t allOnes[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(FrameChecksum(allOnes), 0xF9);  // 7 * 255 = 0x6F9
  const std::uint8_t zeros[7] = {};
  EXPECT_EQ(FrameChecksum(zeros), 0x00);
  const std::uint8_t startOnly[7] = {0x55};
  EXPECT_EQ(FrameChecksum(startOnly), 0x55);
}

// Every frame has the table's layout, and its last byte is the checksum of
// the seven before it (the checksum itself is held to literal sums above).
TEST(CommandFrame, EveryAddressAndRelayGivesAWellFormedFrame) {
  for (int address = 0; address <= 255; ++address) {
    for (std::int32_t relay = 0; relay <= 16; ++relay) {
      for (std::int32_t power = 0; power <= 1; ++power) {
        const Bytes got =
            BytesOf(BuildCommandFrame(static_cast<std::uint8_t>(address), power, relay));
        const Bytes layout = {0x55,
                              static_cast<std::uint8_t>(address),
                              static_cast<std::uint8_t>(power == 1 ? 0x12 : 0x11),
                              0x00,
                              0x00,
                              0x00,
                              static_cast<std::uint8_t>(relay),
                              FrameChecksum(got.data())};
        ASSERT_EQ(got, layout) << "address " << address << " relay " << relay << " power " << power;
      }
    }
  }
}

}  // namespace
