// The run's own UUCP lock file, so that minicom, ser2net and their kind see
// that Kavnori has the port while it switches.
#pragma once

#include <sys/types.h>

#include "serial/uucp_lock_linux.h"

// The run's own UUCP lock, taken as minicom and ser2net take theirs, so that
// they leave the port alone while it switches: LCK..NAME of the device the
// name leads to, in the first lock folder this user may write. A dead run's
// lock there is replaced, and the temporary files of dead runs removed.
// Released by ReleaseUucpLock, which every end of a run calls; a run's own
// lock is never counted against it.
enum class OwnLock {
  kTaken,
  kNone,     // no lock folder this user may write, or a path that is no device
  kRefused,  // a folder was writable but the lock not taken: a live lock stands there
};
OwnLock TakeUucpLock(const char* devicePath);
// Safe in a signal handler (stat, open, read, unlink): the program's
// handlers of the signals that stop it call it, so that a run stopped by a
// signal (timeout, Ctrl-C, a hangup) takes its lock with it.
void ReleaseUucpLock();

// This run's own lock, for the look-up to pass over (uucp_lock_linux.h).
OwnLockMark OwnUucpLock();
