#include "protocol/command_frame.h"

std::uint8_t FrameChecksum(const std::uint8_t* firstSevenBytes) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kFrameChecksumOffset; ++i) {
    sum += firstSevenBytes[i];
  }
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

CommandFrame BuildCommandFrame(std::uint8_t address, std::int32_t powerState,
                               std::int32_t relayNumber) {
  CommandFrame frame = {};
  frame.bytes[0] = kFrameStartByte;
  frame.bytes[kFrameAddressOffset] = address;
  frame.bytes[kFrameCommandOffset] = powerState != 0 ? kCommandSwitchOn : kCommandSwitchOff;
  frame.bytes[kFrameRelayOffset] = static_cast<std::uint8_t>(relayNumber & 0xFF);
  frame.bytes[kFrameChecksumOffset] = FrameChecksum(frame.bytes);
  return frame;
}
