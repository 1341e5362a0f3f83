#include "protocol/command_frame.h"

std::uint8_t FrameChecksum(const std::uint8_t* firstSevenBytes) {
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < kCommandFrameSize; ++i) {
    sum += firstSevenBytes[i];
  }
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

CommandFrame BuildCommandFrame(std::uint8_t address, std::int32_t powerState,
                               std::int32_t relayNumber) {
  CommandFrame frame = {};
  frame.bytes[0] = kFrameStartByte;
  frame.bytes[1] = address;
  frame.bytes[2] = powerState != 0 ? kCommandSwitchOn : kCommandSwitchOff;
  frame.bytes[6] = static_cast<std::uint8_t>(relayNumber & 0xFF);
  frame.bytes[7] = FrameChecksum(frame.bytes);
  return frame;
}
