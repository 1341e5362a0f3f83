// The system calls behind the POSIX serial backend, as one record so that a
// test can make any of them fail with a chosen errno and see what was asked.
// posixSerialCalls starts as kRealPosixSerialCalls.
#pragma once

#include <sys/types.h>
#include <termios.h>
#include <time.h>

struct PosixSerialCalls {
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

extern const PosixSerialCalls kRealPosixSerialCalls;
extern PosixSerialCalls posixSerialCalls;
