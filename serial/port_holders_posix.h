// Programs that hold a serial port without a flock, as Linux programs mark
// it: minicom and ser2net leave a UUCP lock file LCK..NAME in /run/lock or
// /var/lock; screen makes the terminal exclusive with TIOCEXCL, which root
// can open through. Kavnori looks for both before it writes; kavnori-doctor
// also names the holder.
//
//   UucpLock lock;
//   if (FindUucpLock("/dev/ttyUSB0", kUucpLockFolders, &lock) && lock.alive) ...
//   if (TerminalIsExclusive(fd)) ...
//
// Nothing here allocates, and nothing creates, changes or removes a file.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr std::size_t kLockPathCapacity = 320;

struct UucpLock {
  char path[kLockPathCapacity];  // the lock file found, e.g. /run/lock/LCK..ttyUSB0
  pid_t pid;                     // the pid written in it; 0 when it holds none
  bool alive;                    // a process with that pid exists
};

// The folders where UUCP lock files are kept, in the order looked at;
// ends with a null pointer.
extern const char* const kUucpLockFolders[];

// Looks in each folder for LCK..NAME, NAME being the device's name both as
// given and as its links lead to: ttyUSB0 for /dev/ttyUSB0, and for names
// below /dev the rest of the path with '/' as '_' too (pts_3 for /dev/pts/3).
// A live lock is reported before a stale one. False when there is none.
bool FindUucpLock(const char* devicePath, const char* const* folders, UucpLock* found);

// True when a program made the terminal exclusive (TIOCEXCL). A descriptor
// that is not a terminal, or a kernel without TIOCGEXCL, gives false.
bool TerminalIsExclusive(int fd);
