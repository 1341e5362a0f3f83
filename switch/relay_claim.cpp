#include "switch/relay_claim.h"

namespace {

RelayRecord& Relay(RelayStates* states, int number) { return states->relays[number - 1]; }

}  // namespace

int FirstRelay(std::int32_t relayNumber) { return relayNumber == 0 ? 1 : relayNumber; }
int LastRelay(std::int32_t relayNumber) { return relayNumber == 0 ? kStateRelays : relayNumber; }

void ClaimRelays(RelayStates* states, std::int32_t relayNumber, std::uint32_t* owned) {
  for (int number = FirstRelay(relayNumber); number <= LastRelay(relayNumber); ++number) {
    RelayRecord& relay = Relay(states, number);
    owned[number] = ++relay.generation;
    relay.pending = Commanded::kUnknown;
  }
}

int StillOwned(const RelayStates& states, std::int32_t relayNumber, const std::uint32_t* owned,
               bool* stillOwned) {
  int count = 0;
  for (int number = FirstRelay(relayNumber); number <= LastRelay(relayNumber); ++number) {
    stillOwned[number] = states.relays[number - 1].generation == owned[number];
    if (stillOwned[number]) ++count;
  }
  return count;
}

void RecordSent(RelayStates* states, std::int32_t relayNumber, const std::uint32_t* owned,
                std::int32_t powerState) {
  for (int number = FirstRelay(relayNumber); number <= LastRelay(relayNumber); ++number) {
    RelayRecord& relay = Relay(states, number);
    if (relay.generation != owned[number]) continue;  // a newer command's now
    relay.commanded = powerState == 1 ? Commanded::kOn : Commanded::kOff;
  }
}
