// Programs that hold a serial port without a flock, as Linux programs mark
// it: minicom and ser2net leave a UUCP lock file LCK..NAME in /run/lock or
// /var/lock; screen makes the terminal exclusive with TIOCEXCL, which root
// can open through. Kavnori looks for both before it writes; kavnori-doctor
// also names the holder.
//
//   UucpLock lock;
//   if (FindUucpLock("/dev/ttyUSB0", kUucpLockPlaces, &lock) && lock.held) ...
//   if (TerminalIsExclusive(fd)) ...
//
// A lock holds when it cannot be judged: a lock file this user may not read,
// or a holder whose start /proc does not show. It is stale only when its pid
// runs no process, or runs one that started after the lock was written (the
// pid was given again). Nothing here allocates, and nothing creates, changes
// or removes a file.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr std::size_t kLockPathCapacity = 320;

struct UucpLock {
  char path[kLockPathCapacity];  // the lock file found, e.g. /run/lock/LCK..ttyUSB0
  pid_t pid;                     // the pid written in it; 0 when it holds none or is unreadable
  uid_t owner;                   // the lock file's owner
  bool readable;                 // false: there, but this user may not read it
  bool pidReused;                // the pid runs a process that started after the lock was written
  bool held;                     // it stands against a run: unreadable, or its holder runs
};

// Where the machine keeps what the look-up reads; kavnori-doctor's tests give
// folders of their own. Each list ends with a null pointer.
struct LockPlaces {
  const char* const* lockFolders;  // /run/lock, /var/lock
  const char* const* linkFolders;  // /dev/serial/by-id, /dev/serial/by-path
  const char* proc;                // /proc: the holder's start and the boot time
};
extern const LockPlaces kUucpLockPlaces;

// Looks in each lock folder for the lock names of every name of the device:
// LCK..NAME for the name as given and as its links lead to (ttyUSB0, and
// pts_3 and 3 for /dev/pts/3), for each link in the link folders that leads
// to the same device (LCK..usb-FTDI_..., as a program given that name writes
// it), and SVR4's LK.MMM.mmm.nnn of the device numbers. A held lock is
// reported before a stale one. False when there is none.
bool FindUucpLock(const char* devicePath, const LockPlaces& places, UucpLock* found);

// True when a program made the terminal exclusive (TIOCEXCL). A descriptor
// that is not a terminal, or a kernel without TIOCGEXCL, gives false.
bool TerminalIsExclusive(int fd);
