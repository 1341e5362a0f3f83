#include <errno.h>
#include <fcntl.h>

#include <cstring>

#include "serial/own_uucp_lock_linux.h"
#include "serial/serial_port_linux.h"
#include "tests/fake_serial.h"

namespace {

// The chosen call fails with the errno given.
bool Fails(const char* call) {
  if (fakeSerial.failingCall != call) return false;
  errno = static_cast<int>(fakeSerial.error);
  return true;
}

int FakeOpen(const char* path, int flags) {
  ++fakeSerial.calls.opens;
  fakeSerial.openedPath = path;
  fakeSerial.openFlags = flags;
  return Fails("open") ? -1 : fakeSerial.openedFd;
}
int FakeDuplicateFrom(int fd, int lowest) {
  fakeSerial.duplicatedFd = fd;
  fakeSerial.duplicateLowest = lowest;
  return Fails("F_DUPFD_CLOEXEC") ? -1 : fakeSerial.duplicateFd;
}
int FakeFlock(int fd, int operation) {
  fakeSerial.flockFd = fd;
  fakeSerial.flockOperation = operation;
  return Fails("flock") ? -1 : 0;
}
int FakeGetStatusFlags(int fd) {
  fakeSerial.statusFlagsFd = fd;
  return Fails("F_GETFL") ? -1 : O_RDWR | O_NONBLOCK;
}
int FakeSetStatusFlags(int, int flags) {
  fakeSerial.statusFlagsSet = flags;
  return Fails("F_SETFL") ? -1 : 0;
}
int FakeNanosleep(const struct timespec* pause, struct timespec*) {
  ++fakeSerial.calls.pauses;
  fakeSerial.pause = *pause;
  return 0;
}
// The first read gives what the driver holds; later ones what it kept.
int FakeTcgetattr(int fd, struct termios* settings) {
  const bool first = ++fakeSerial.calls.reads == 1;
  if (fd != kFakeDescriptor) {
    errno = EBADF;
    return -1;
  }
  if (Fails(first ? "tcgetattr" : "read-back")) return -1;
  *settings = first ? fakeSerial.read : fakeSerial.applied;
  if (!first && fakeSerial.driverKept != nullptr) fakeSerial.driverKept(settings);
  return 0;
}
int FakeTcsetattr(int, int when, const struct termios* settings) {
  ++fakeSerial.calls.applies;
  fakeSerial.appliedWhen = when;
  if (Fails("tcsetattr")) return -1;
  fakeSerial.applied = *settings;
  return 0;
}
ssize_t FakeWrite(int, const void* bytes, size_t count) {
  ++fakeSerial.calls.writes;
  if (Fails("write")) return -1;
  const std::size_t taken = fakeSerial.writeReports < count ? fakeSerial.writeReports : count;
  std::memcpy(fakeSerial.calls.written, bytes, taken);
  fakeSerial.calls.writtenCount = taken;
  // A code set along with a short write is the one the command reports.
  if (taken != count && fakeSerial.error != 0) errno = static_cast<int>(fakeSerial.error);
  return static_cast<ssize_t>(taken);
}
// Recorded with the writes made so far, to show the wait comes after them.
int FakeDrain(int) {
  fakeSerial.drains.push_back(fakeSerial.calls.writes);
  if (fakeSerial.interruptedDrains-- > 0) {
    errno = EINTR;
    return -1;
  }
  return Fails("tcdrain") ? -1 : 0;
}
int FakeClose(int fd) {
  ++fakeSerial.calls.closes;
  fakeSerial.closed.push_back(fd);
  return Fails("close") ? -1 : 0;
}

}  // namespace

const char* const kFakeFailingCalls[] = {"",      "open", "tcgetattr", "tcsetattr",
                                         "write", "",     "",          "close"};

void InstallFakeSerialCalls() {
  linuxSerialCalls = {FakeOpen,           FakeDuplicateFrom, FakeFlock,     FakeGetStatusFlags,
                      FakeSetStatusFlags, FakeNanosleep,     FakeTcgetattr, FakeTcsetattr,
                      FakeWrite,          FakeDrain,         FakeClose};
}

// A faked open that went through leaves the run's lock file in /run/lock.
void RestoreRealSerial() {
  linuxSerialCalls = kRealLinuxSerialCalls;
  ReleaseUucpLock();
}

std::uint32_t InvalidHandleError() { return EBADF; }
