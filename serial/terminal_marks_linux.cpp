#include "serial/terminal_marks_linux.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool TerminalIsExclusive(int fd) {
#ifdef TIOCGEXCL
  int exclusive = 0;
  return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
  (void)fd;
  return false;
#endif
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
#ifdef TIOCGPTN
  unsigned int number = 0;
  return ::ioctl(fd, TIOCGPTN, &number) == 0;
#else
  (void)fd;
  return false;
#endif
}
