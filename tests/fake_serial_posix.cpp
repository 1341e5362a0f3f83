#include <errno.h>
#include <fcntl.h>

#include <cstring>

#include "serial/serial_port_posix.h"
#include "tests/fake_serial.h"

FakePosixSerial posixFake;

namespace {

// The chosen call fails with the errno given.
bool Fails(const char* call) {
  if (posixFake.failingCall != call) return false;
  errno = posixFake.error;
  return true;
}

int FakeOpen(const char* path, int flags) {
  ++posixFake.calls.opens;
  posixFake.openedPath = path;
  posixFake.openFlags = flags;
  return Fails("open") ? -1 : posixFake.openedFd;
}
int FakeDuplicateFrom(int fd, int lowest) {
  posixFake.duplicatedFd = fd;
  posixFake.duplicateLowest = lowest;
  return Fails("F_DUPFD_CLOEXEC") ? -1 : posixFake.duplicateFd;
}
int FakeFlock(int fd, int operation) {
  posixFake.flockFd = fd;
  posixFake.flockOperation = operation;
  return Fails("flock") ? -1 : 0;
}
int FakeGetStatusFlags(int fd) {
  posixFake.statusFlagsFd = fd;
  return Fails("F_GETFL") ? -1 : O_RDWR | O_NONBLOCK;
}
int FakeSetStatusFlags(int, int flags) {
  posixFake.statusFlagsSet = flags;
  return Fails("F_SETFL") ? -1 : 0;
}
int FakeNanosleep(const struct timespec* pause, struct timespec*) {
  ++posixFake.calls.pauses;
  posixFake.pause = *pause;
  return 0;
}
// The first read gives what the driver holds; later ones what it kept.
int FakeTcgetattr(int fd, struct termios* settings) {
  const bool first = ++posixFake.calls.reads == 1;
  if (fd != kFakeDescriptor) {
    errno = EBADF;
    return -1;
  }
  if (Fails(first ? "tcgetattr" : "read-back")) return -1;
  *settings = first ? posixFake.read : posixFake.applied;
  if (!first && posixFake.driverKept != nullptr) posixFake.driverKept(settings);
  return 0;
}
int FakeTcsetattr(int, int when, const struct termios* settings) {
  ++posixFake.calls.applies;
  posixFake.appliedWhen = when;
  if (Fails("tcsetattr")) return -1;
  posixFake.applied = *settings;
  return 0;
}
ssize_t FakeWrite(int, const void* bytes, size_t count) {
  ++posixFake.calls.writes;
  if (Fails("write")) return -1;
  const std::size_t taken =
      posixFake.writeTakes < 0 ? count : static_cast<std::size_t>(posixFake.writeTakes);
  std::memcpy(posixFake.calls.written, bytes, taken);
  posixFake.calls.writtenCount = taken;
  // A driver that leaves a code behind a short write: the command must not use it.
  if (taken != count && posixFake.error != 0) errno = posixFake.error;
  return static_cast<ssize_t>(taken);
}
int FakeClose(int fd) {
  ++posixFake.calls.closes;
  posixFake.closed.push_back(fd);
  return Fails("close") ? -1 : 0;
}

const char* FailingCall(FakeFailure failure) {
  switch (failure) {
    case FakeFailure::kOpen:
      return "open";
    case FakeFailure::kReadSettings:
      return "tcgetattr";
    case FakeFailure::kApplySettings:
      return "tcsetattr";
    case FakeFailure::kWrite:
      return "write";
    case FakeFailure::kClose:
      return "close";
    default:
      return "";
  }
}

}  // namespace

void InstallFakeSerial(FakeFailure failure, std::uint32_t code) {
  posixFake = FakePosixSerial{};
  posixFake.failingCall = FailingCall(failure);
  posixFake.error = static_cast<int>(code);
  if (failure == FakeFailure::kZeroWrite) posixFake.writeTakes = 0;
  if (failure == FakeFailure::kShortWrite) posixFake.writeTakes = 5;
  posixSerialCalls = {FakeOpen,           FakeDuplicateFrom, FakeFlock,     FakeGetStatusFlags,
                      FakeSetStatusFlags, FakeNanosleep,     FakeTcgetattr, FakeTcsetattr,
                      FakeWrite,          FakeClose};
}

void RestoreRealSerial() { posixSerialCalls = kRealPosixSerialCalls; }

const FakeSerialLog& FakeSerialCalls() { return posixFake.calls; }

std::uint32_t InvalidHandleError() { return EBADF; }
