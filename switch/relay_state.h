// The last commanded state of each relay of one board, as kavnori-switch
// sent it: the board cannot be asked. One small file per board,
// /run/lock/kavnori-state-NAME-ADDRESS (NAME the port's lock name), which
// every user of the port reads and writes, locked with flock(2) while it
// changes. /run/lock is emptied at boot, and the file names the boot it
// belongs to besides: a board that lost power is unknown, not off.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kStateRelays = 16;

enum class Commanded : std::uint8_t { kUnknown, kOn, kOff };
enum class FinalTrouble : std::uint8_t { kNone, kLate, kFailed };

struct RelayRecord {
  std::uint32_t generation;  // counted up by every command of the relay
  Commanded commanded;       // what its last frame with status 0 said
  Commanded pending;         // the final frame due, kUnknown when none
  FinalTrouble trouble;      // of the last final frame
  std::uint8_t unused;
  std::int64_t dueWallMs;      // the pending final's time, for people
  std::int64_t troubleWallMs;  // when the troubled final was due
  std::int64_t lateMs;
};

struct RelayStates {
  char magic[8];
  char bootId[40];
  RelayRecord relays[kStateRelays];
};

struct StateFile {
  int fd = -1;
  RelayStates states = {};
  bool fresh = false;  // no state was there: made now, or from another boot
};

// Opens and locks the board's state (waiting up to 20 s for the lock); a
// file from another boot, or that is not ours to read, reads as unknown.
// False when no state file can be used: its name taken by something else.
bool OpenRelayStates(const char* lockName, std::uint8_t address, StateFile* file);
// What was read, if whole and of this boot, else a fresh state of bootId;
// values that no run writes read as unknown.
void AcceptRelayStates(StateFile* file, bool readOfThisBoot, const char* bootId);
void SaveRelayStates(StateFile* file);   // writes, unlocks and closes
void CloseRelayStates(StateFile* file);  // unlocks and closes, unchanged

// The relays a relay number stands for: 1-16 one, 0 all.
int FirstRelay(std::int32_t relayNumber);
int LastRelay(std::int32_t relayNumber);

// "/run/lock/kavnori-state-NAME-ADDRESS"; Windows:
// "%ProgramData%\\Kavnori\\state-NAME-ADDRESS".
void StatePath(const char* lockName, std::uint8_t address, char* path, std::size_t capacity);
// Its part before NAME: the platform's.
std::size_t AppendStateFolder(char* path, std::size_t capacity);
