// Whether the pid in a lock file still holds the port. A live pid holds it,
// whatever files it has open: minicom and lockdev lock before they open, a
// program keeps its lock across an adapter's replug, a helper locks for a
// child. No clock is compared: a clock stepped after the lock was written (a
// Raspberry Pi's, set by NTP after boot) must not make a live holder's lock
// stale.
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

// A process alive and no zombie: a zombie has ended and closed all its files;
// only its parent has not yet waited for it. PROC/PID/stat tells, to every user.
bool ProcessLives(const char* proc, pid_t pid);
