// The system calls behind the Linux serial backend, as one record so that a
// test can make any of them fail with a chosen errno and see what was asked.
// linuxSerialCalls starts as kRealLinuxSerialCalls.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

// How every open of a port goes, the doctor's too. O_NONBLOCK keeps the
// open from waiting for carrier detect; O_NOCTTY keeps a port from becoming
// the controlling terminal of a process that has none.
constexpr int kPortOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

struct LinuxSerialCalls {
  int (*open)(const char* path, int flags);
  int (*duplicateFrom)(int fd, int lowest);  // fcntl F_DUPFD_CLOEXEC
  int (*flock)(int fd, int operation);
  int (*getStatusFlags)(int fd);             // fcntl F_GETFL
  int (*setStatusFlags)(int fd, int flags);  // fcntl F_SETFL
  int (*nanosleep)(const struct timespec* duration, struct timespec* remaining);
  int (*tcgetattr)(int fd, struct termios* settings);
  int (*tcsetattr)(int fd, int when, const struct termios* settings);
  ssize_t (*write)(int fd, const void* bytes, size_t count);
  int (*drain)(int fd);  // tcdrain
  int (*close)(int fd);
};

extern const LinuxSerialCalls kRealLinuxSerialCalls;
extern LinuxSerialCalls linuxSerialCalls;
