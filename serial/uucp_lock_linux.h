// The UUCP lock files by which minicom, ser2net and their kind mark a port
// they hold: LCK..NAME in /run/lock or /var/lock. Kavnori looks for them
// before the open and again before the write; kavnori-doctor also names the
// holder.
//
//   UucpLock lock;
//   if (FindUucpLock("/dev/ttyUSB0", kUucpLockPlaces, &lock) && lock.held) ...
//
// A lock holds when it cannot be judged (a lock file this user may not read,
// one that names no pid, anything but a plain file at a lock's name) and
// while its pid runs, as minicom, lockdev and ser2net count it. It is stale
// only when its pid runs no process or a zombie. No clock is compared. Nothing here
// allocates; nothing changes another program's file, and only the lock of
// a run that has ended, at this run's own lock name, is ever removed.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>

#include "serial/uucp_lock_names_linux.h"

constexpr std::size_t kLockPathCapacity = 320;

struct UucpLock {
  char path[kLockPathCapacity];  // the lock file found, e.g. /run/lock/LCK..ttyUSB0
  pid_t pid;                     // the pid written in it; 0 when it holds none or is unreadable
  uid_t owner;                   // the lock file's owner
  time_t written;                // its last change
  bool isFile;                   // false: a directory, FIFO or link stands at the lock's name
  bool readable;                 // false: there, but this user may not read it
  bool judged;                   // a readable file naming a pid
  bool held;  // it stands against a run: not judged, or its holder may hold the port
};

// Where the machine keeps what the look-up reads; kavnori-doctor's tests give
// folders of their own. Each list ends with a null pointer.
struct LockPlaces {
  const char* const* lockFolders;  // /run/lock, /var/lock
  const char* const* linkFolders;  // /dev/serial/by-id, /dev/serial/by-path
  const char* proc;                // /proc: whether the holder is a zombie
  const char* dev;                 // "/dev/": where a lock's NAME is looked up
};
extern const LockPlaces kUucpLockPlaces;

// Looks in each lock folder for the lock names of every name of the device:
// LCK..NAME for the name as given and as its links lead to (ttyUSB0, and
// pts_3 and 3 for /dev/pts/3), for each link in the link folders that leads
// to the same device (LCK..usb-FTDI_..., as a program given that name writes
// it), each LCK..NAME whose /dev/NAME leads to it (a udev rule's link), and
// SVR4's LK.MMM.mmm.nnn of the device numbers. A held lock is
// reported before a stale one. False when there is none.
bool FindUucpLock(const char* devicePath, const LockPlaces& places, UucpLock* found);

// What a look-up goes by, worked out once for a port that is looked at twice
// (before the open and before the write): its lock names and its device.
struct LockTarget {
  LockNames names;
  bool isDevice;  // a character device, whose number is in device
  dev_t device;
};
void NameLockTarget(const char* devicePath, LockTarget* target);

// A run's own lock, which the look-up passes over: the file at `path`
// naming `pid`. One renamed over it since names another pid. A null path
// when there is none (the doctor takes no lock).
struct OwnLockMark {
  const char* path;
  pid_t pid;
};
bool FindUucpLockOf(const LockTarget& target, const LockPlaces& places, const OwnLockMark& own,
                    UucpLock* found);
