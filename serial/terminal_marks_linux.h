// What an open port's descriptor tells of other programs, right after the
// open: a terminal made exclusive (screen's TIOCEXCL, which root opens
// through), a record lock, or no port at all (a pty master).
#pragma once

// True when a program made the terminal exclusive (TIOCEXCL). A descriptor
// that is not a terminal, or a kernel without TIOCGEXCL, gives false.
bool TerminalIsExclusive(int fd);

// True when another process holds a record lock on the port (fcntl F_SETLK,
// lockf, or an open-file-description lock), as some programs take instead
// of a flock.
bool HeldByRecordLock(int fd);

// True for a pseudo-terminal's master side (/dev/ptmx opens a new one): a
// frame written there goes to a terminal that nobody reads.
bool IsPseudoTerminalMaster(int fd);
