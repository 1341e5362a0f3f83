// Runs on one port take turns, whoever starts them: each holds a flock(2)
// on the port's lock folder, /run/lock/kavnori-NAME, while it sends.
//
// NAME is the path the port's name leads to below /dev, '/' written '_'
// (ttyUSB0, pts_3), so that every name of one port takes one lock. A
// network port takes one lock for each address its host leads to,
// rfc2217-ADDRESS_PORT, every loopback address as 127.0.0.1, so that
// localhost, 127.0.0.1 and [::1] for one ser2net port take turns too.
#pragma once

#include <cstddef>

constexpr int kMostTurnLocks = 4;
constexpr std::size_t kTurnNameCapacity = 300;

struct PortTurn {
  int count = 0;  // 0: the port leads nowhere, and has no lock to take
  char names[kMostTurnLocks][kTurnNameCapacity] = {};  // below /run/lock, sorted
  int folders[kMostTurnLocks] = {-1, -1, -1, -1};      // open while the turn is held
  int failed = -1;                                     // the lock that stood in the way
};

enum class TurnResult {
  kTaken,
  kBusy,       // another run held it for the whole wait
  kUnusable,   // could not be opened or made
  kNotFolder,  // a link or anything but a folder stands at its name
};

// Works out the lock names of a port name, as above.
void NamePortTurn(const char* portName, PortTurn* turn);
// A network port's names, rfc2217-ADDRESS_PORT for each address, sorted;
// a local port's, the platform's (none for a name leading nowhere).
void NameNetworkTurn(const char* portName, PortTurn* turn);
void NameLocalTurn(const char* portName, PortTurn* turn);
// Takes every lock of the turn in order, waiting up to waitMs in all; on
// anything but kTaken none is held.
TurnResult TakePortTurn(PortTurn* turn, int waitMs);
void GivePortTurn(PortTurn* turn);
// "/run/lock/kavnori-NAME" of lock i.
void LockFolderPath(const PortTurn& turn, int i, char* path, std::size_t capacity);
