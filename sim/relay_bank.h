// The relays of every board on the line, one bank of 16 per address. A board
// the simulator has not heard from yet has all relays off.
#pragma once

#include <cstdint>

#include "sim/frame_decoder.h"

struct RelayBank {
  std::uint16_t relays[256];  // bit 0 is relay 1
};

RelayBank NewRelayBank();

// Switches what a valid frame names: one relay, or all 16 for relay 0.
void ApplyFrame(RelayBank* bank, const FrameEvent& frame);

bool RelayIsOn(const RelayBank& bank, std::uint8_t address, int relayNumber);
