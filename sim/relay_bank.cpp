#include "sim/relay_bank.h"

namespace {

constexpr std::uint16_t kEveryRelay = 0xFFFF;

std::uint16_t RelayMask(std::uint8_t relayNumber) {
  if (relayNumber == kAllRelays) return kEveryRelay;
  return static_cast<std::uint16_t>(1u << (relayNumber - 1));
}

}  // namespace

RelayBank NewRelayBank() { return RelayBank{}; }

void ApplyFrame(RelayBank* bank, const FrameEvent& frame) {
  const std::uint8_t address = FrameAddress(frame);
  const std::uint16_t mask = RelayMask(FrameRelay(frame));
  if (FrameCommand(frame) == kCommandSwitchOn) {
    bank->relays[address] = static_cast<std::uint16_t>(bank->relays[address] | mask);
  } else {
    bank->relays[address] = static_cast<std::uint16_t>(bank->relays[address] & ~mask);
  }
}

bool RelayIsOn(const RelayBank& bank, std::uint8_t address, int relayNumber) {
  return (bank.relays[address] >> (relayNumber - 1) & 1u) != 0;
}
