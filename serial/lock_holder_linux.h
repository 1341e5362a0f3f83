// Whether the pid in a lock file still holds the port. A live pid holds it
// unless every one of its open files can be read and none is the port (the
// pid was given again since). No clock is compared: a clock stepped after
// the lock was written (a Raspberry Pi's, set by NTP after boot) must not
// make a live holder's lock stale.
#pragma once

#include <sys/types.h>

// HDB lock files hold the pid as ten ASCII digits and a newline; older
// programs wrote the binary int itself, four bytes. As the programs that
// write them read them, leading white space (newlines too) and a sign may
// come first. An empty or garbled file names no pid (0). False when the file
// cannot be read.
bool ReadLockPid(int fd, pid_t* pid);

// True also for another user's process (EPERM).
bool ProcessExists(pid_t pid);

// Whether process `pid` may have the character device `device` open, from
// PROC/PID/fd; true whenever that cannot be told (hidepid, another user's
// process, a name that is no device); false for a zombie, whose files are
// all closed.
bool MayHoldDevice(const char* proc, pid_t pid, bool isDevice, dev_t device);
