// The relay board's command frame.
//
// One frame switches one relay, or every relay, of the board at an address:
//
//   offset  0     1        2             3  4  5   6      7
//           0x55  address  0x11 off /    00 00 00  relay  checksum
//                          0x12 on                 0=all
//
// The checksum is the 8-bit wrapping sum of bytes 0 to 6, start byte
// included. The board sends nothing back.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kCommandFrameSize = 8;
constexpr std::uint8_t kFrameStartByte = 0x55;
constexpr std::uint8_t kCommandSwitchOff = 0x11;
constexpr std::uint8_t kCommandSwitchOn = 0x12;

// Where each field sits; bytes 3 up to the relay are reserved and 00.
enum FrameOffset : std::size_t {
  kFrameAddressOffset = 1,
  kFrameCommandOffset = 2,
  kFrameFirstReservedOffset = 3,
  kFrameRelayOffset = 6,
  kFrameChecksumOffset = 7,
};

// Relays are numbered from 1; relay 0 in a frame means every one of them.
constexpr int kRelaysPerBoard = 16;
constexpr std::uint8_t kAllRelays = 0;

struct CommandFrame {
  std::uint8_t bytes[kCommandFrameSize];
};

// The wrapping 8-bit sum of the frame's first seven bytes.
std::uint8_t FrameChecksum(const std::uint8_t* firstSevenBytes);

// powerState 0 switches off, anything else on; relayNumber 0 means all
// relays. Only the low 8 bits of relayNumber are sent.
CommandFrame BuildCommandFrame(std::uint8_t address, std::int32_t powerState,
                               std::int32_t relayNumber);
