#include "switch/relay_state.h"

#include <cstring>

#include "serial/fixed_text.h"

namespace {

constexpr char kMagic[8] = {'k', 'a', 'v', 'n', 's', 't', '0', '1'};

}  // namespace

void AcceptRelayStates(StateFile* file, bool readOfThisBoot, const char* bootId) {
  if (!readOfThisBoot || std::memcmp(file->states.magic, kMagic, sizeof kMagic) != 0) {
    file->fresh = true;
    file->states = RelayStates{};
    for (std::size_t i = 0; i < sizeof kMagic; ++i) file->states.magic[i] = kMagic[i];
    Append(file->states.bootId, sizeof file->states.bootId, 0, bootId);
  }
  // Values written by anyone: only known states are believed.
  for (RelayRecord& relay : file->states.relays) {
    if (relay.commanded > Commanded::kOff) relay.commanded = Commanded::kUnknown;
    if (relay.pending > Commanded::kOff) relay.pending = Commanded::kUnknown;
    if (relay.trouble > FinalTrouble::kFailed) relay.trouble = FinalTrouble::kNone;
  }
}

void StatePath(const char* lockName, std::uint8_t address, char* path, std::size_t capacity) {
  std::size_t length = AppendStateFolder(path, capacity);
  length = Append(path, capacity, length, lockName);
  length = Append(path, capacity, length, "-");
  AppendNumber(path, capacity, length, address, 1);
}
