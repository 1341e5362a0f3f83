#include "serial/terminal_marks_linux.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Terminal questions an older kernel's headers lack: 0, never asked.
#ifndef TIOCGEXCL
#define TIOCGEXCL 0
#endif
// TIOCGPTN: the number of a pty, which only its master side has.
#ifndef TIOCGPTN
#define TIOCGPTN 0
#endif

// The terminal's answer to `request` in *answer; false when the kernel has
// no such question or the descriptor no answer.
bool Ask(int fd, unsigned long request, unsigned int* answer) {
  *answer = 0;
  return request != 0 && ::ioctl(fd, request, answer) == 0;
}

}  // namespace

bool TerminalIsExclusive(int fd) {
  unsigned int exclusive;
  return Ask(fd, TIOCGEXCL, &exclusive) && exclusive != 0;
}

bool HeldByRecordLock(int fd) {
  // Any lock another process has that would stand against a write lock of
  // the whole file: F_SETLK and lockf take POSIX locks, F_OFD_SETLK open-file
  // ones, and OFD's query sees both. A kernel or emulator without it answers
  // EINVAL; the POSIX query then sees the POSIX ones.
  struct flock query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
#ifdef F_OFD_GETLK
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0) return query.l_type != F_UNLCK;
  query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
#endif
  return ::fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
}

bool IsPseudoTerminalMaster(int fd) {
  unsigned int number;
  return Ask(fd, TIOCGPTN, &number);
}
