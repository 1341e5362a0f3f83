// The names a UUCP lock of a port may have, as the programs that take them
// write them: LCK..NAME of a name of the device, and SVR4's LK.MMM.mmm.nnn.
#pragma once

#include <limits.h>
#include <sys/stat.h>

#include <cstddef>

// A lock file's name is one path component.
constexpr std::size_t kLockNameCapacity = NAME_MAX + 1;
// As given and as resolved, each as its base name and its /dev path; SVR4's.
constexpr std::size_t kMostLockNames = 5;

// Lock file names, each once.
struct LockNames {
  char names[kMostLockNames][kLockNameCapacity];
  std::size_t count;
};

// LCK..ttyUSB0 for /dev/ttyUSB0; LCK..pts_3 and LCK..3 for /dev/pts/3: the
// programs differ on which form they write. The first is minicom's.
void AddNamesOf(LockNames* names, const char* path);

// SVR4 names a lock by the numbers of the file system holding the device
// node and of the device itself: LK.000.188.000.
void AddSvr4Name(LockNames* names, const struct stat& device);
