// Preloaded into the command (LD_PRELOAD) to hold it at one system call
// until the test has changed the world, e.g. closed the far side of the pty.
// It changes nothing itself: after the hold, the real call runs and the
// kernel gives its real answer.
//
//   KAVNORI_PAUSE_AT=nanosleep|tcsetattr|write|close|linkat
//
// At the first such call (for write and close: the first on a terminal
// above descriptor 2, which is the port, not a lock folder or file), one
// byte goes out on descriptor 100 to say "held here", then the call waits
// for one byte, or end of file, on descriptor 101. Both descriptors are set
// up by the test.
#include <dlfcn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kHeldFd = 100;
constexpr int kGoFd = 101;

bool held = false;

void HoldIfChosen(const char* call) {
  if (held) return;
  const char* chosen = getenv("KAVNORI_PAUSE_AT");
  if (chosen == nullptr || strcmp(chosen, call) != 0) return;
  held = true;
  // Raw system calls: write and close are wrapped here themselves.
  const char byte = 'h';
  syscall(SYS_write, kHeldFd, &byte, 1);
  char go = 0;
  syscall(SYS_read, kGoFd, &go, 1);
  syscall(SYS_close, kHeldFd);
  syscall(SYS_close, kGoFd);
}

void* Next(const char* name) { return dlsym(RTLD_NEXT, name); }

bool IsPort(int fd) {
  struct termios settings;
  return fd > 2 && syscall(SYS_ioctl, fd, TCGETS, &settings) == 0;
}

}  // namespace

extern "C" int nanosleep(const struct timespec* duration, struct timespec* remaining) {
  HoldIfChosen("nanosleep");
  static const auto real = reinterpret_cast<decltype(&nanosleep)>(Next("nanosleep"));
  return real(duration, remaining);
}

extern "C" int tcsetattr(int fd, int when, const struct termios* settings) noexcept {
  HoldIfChosen("tcsetattr");
  static const auto real = reinterpret_cast<decltype(&tcsetattr)>(Next("tcsetattr"));
  return real(fd, when, settings);
}

extern "C" ssize_t write(int fd, const void* bytes, size_t count) {
  if (IsPort(fd)) HoldIfChosen("write");
  static const auto real = reinterpret_cast<decltype(&write)>(Next("write"));
  return real(fd, bytes, count);
}

extern "C" int close(int fd) {
  if (IsPort(fd)) HoldIfChosen("close");
  static const auto real = reinterpret_cast<decltype(&close)>(Next("close"));
  return real(fd);
}

// The command makes the kernel's own calls through syscall(): linkat takes
// its lock.
extern "C" long syscall(long number, ...) {
  va_list list;
  va_start(list, number);
  long a[6];
  for (long& argument : a) argument = va_arg(list, long);
  va_end(list);
  if (number == SYS_linkat) HoldIfChosen("linkat");
  static const auto real = reinterpret_cast<decltype(&syscall)>(Next("syscall"));
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
