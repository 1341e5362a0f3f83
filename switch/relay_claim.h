// Who owns a relay's next frame: the newest command of it. Every command
// counts the generation of its relays up before it acts (relay 0: all
// sixteen), and a pending final frame goes out only for the relays whose
// generation is still the one its command took.
#pragma once

#include <cstdint>

#include "switch/relay_state.h"

// Counts the relays' generations up and notes them in `owned` (by relay
// number, 1-16); cancels their pending final frames.
void ClaimRelays(RelayStates* states, std::int32_t relayNumber, std::uint32_t* owned);
// How many of the command's relays are still owned; each one's flag in
// stillOwned (by relay number).
int StillOwned(const RelayStates& states, std::int32_t relayNumber, const std::uint32_t* owned,
               bool* stillOwned);
// A frame that went out with status 0: the relays' commanded state.
void RecordSent(RelayStates* states, std::int32_t relayNumber, const std::uint32_t* owned,
                std::int32_t powerState);
